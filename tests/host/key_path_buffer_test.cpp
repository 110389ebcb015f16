#include "registry/key_path_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(KeyPathBuffer, CopyKeepsUpTo519CharactersAndAlwaysTerminates) {
  for (size_t length : {0u, 1u, 518u, 519u, 520u, 700u}) {
    SCOPED_TRACE(length);
    const std::wstring source(length, L'k');
    KeyPathBuffer path;
    for (wchar_t& c : path) {
      c = L'#';
    }
    CopyKeyPath(path, source.c_str());
    const size_t kept = length < 519 ? length : 519;
    EXPECT_EQ(std::wstring(path), source.substr(0, kept));
    EXPECT_EQ(KeyPathLength(path), kept);
  }
}

TEST(KeyPathBuffer, AppendReportsWhetherTheSourceFittedWhole) {
  KeyPathBuffer path;
  CopyKeyPath(path, std::wstring(517, L'a').c_str());
  EXPECT_TRUE(AppendKeyPath(path, L"\\"));
  EXPECT_TRUE(AppendKeyPath(path, L"b"));  // 519 characters: still whole
  EXPECT_EQ(KeyPathLength(path), 519u);
  EXPECT_TRUE(AppendKeyPath(path, L""));

  CopyKeyPath(path, std::wstring(517, L'a').c_str());
  EXPECT_FALSE(AppendKeyPath(path, L"\\bc"));  // would need 520
  EXPECT_EQ(std::wstring(path), std::wstring(517, L'a') + L"\\b");
}

TEST(KeyPathBuffer, AppendToABufferWithoutTerminatorChangesNothing) {
  KeyPathBuffer path;
  for (wchar_t& c : path) {
    c = L'x';
  }
  EXPECT_EQ(KeyPathLength(path), KeyPathCapacity);
  EXPECT_FALSE(AppendKeyPath(path, L"y"));
  for (wchar_t c : path) {
    ASSERT_EQ(c, L'x');
  }
}

}  // namespace
