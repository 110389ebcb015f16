#include "cleanup/cleanup_data.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

const std::wstring Uninstall =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::wstring UserData =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\"
    L"S-1-5-18\\";

std::wstring Row(size_t number) {
  return CleanupKeys[number - 1];
}

std::wstring LastComponent(const std::wstring& path) {
  return path.substr(path.rfind(L'\\') + 1);
}

// The form Windows Installer names its keys with: the first three groups'
// digits reversed, then each remaining byte's two digits swapped.
std::wstring Packed(const std::wstring& braced) {
  const std::wstring digits = braced.substr(1, 8) + braced.substr(10, 4) +
                              braced.substr(15, 4) + braced.substr(20, 4) +
                              braced.substr(25, 12);
  const auto reversed = [&](size_t start, size_t length) {
    const std::wstring group = digits.substr(start, length);
    return std::wstring(group.rbegin(), group.rend());
  };
  std::wstring packed = reversed(0, 8) + reversed(8, 4) + reversed(12, 4);
  for (size_t i = 16; i < 32; i += 2) {
    packed += reversed(i, 2);
  }
  return packed;
}

std::wstring Widen(const char* text) {
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

TEST(CleanupData, PackedFormMatchesTheKnownExample) {
  EXPECT_EQ(Packed(L"{343C5F9C-35D1-BF4B-204B-BF246FA1A19C}"),
            L"C9F5C3431D53B4FB02B4FB42F61A1AC9");
}

TEST(CleanupData, RowsAreWellFormedAndDistinct) {
  std::set<std::wstring> seen;
  for (size_t i = 1; i <= CleanupKeyCount; ++i) {
    SCOPED_TRACE(testing::Message() << "row " << i);
    const std::wstring row = Row(i);
    EXPECT_EQ(row.rfind(L"SOFTWARE\\", 0), 0u);
    EXPECT_GE(row.size(), 63u);
    EXPECT_LE(row.size(), 113u);
    EXPECT_NE(row.back(), L'\\');
    EXPECT_EQ(row.find(L"\\\\"), std::wstring::npos);
    const std::wstring id = LastComponent(row);
    EXPECT_TRUE(id.size() == 32 || (id.size() == 38 && id[0] == L'{'));
    for (wchar_t c : id) {
      EXPECT_FALSE(c >= L'a' && c <= L'z') << "lowercase identifier";
    }
    EXPECT_TRUE(seen.insert(row).second) << "row repeated";
  }
}

TEST(CleanupData, ProductAndBundlesAreNamedInBothForms) {
  const std::wstring product = MsiProductCode;
  ASSERT_EQ(product.size(), 38u);
  EXPECT_EQ(Row(38), Uninstall + product);
  EXPECT_EQ(Row(14),
            L"SOFTWARE\\Classes\\Installer\\Products\\" + Packed(product));
  EXPECT_EQ(Row(15),
            L"SOFTWARE\\Classes\\Installer\\Features\\" + Packed(product));
  EXPECT_EQ(Row(57), UserData + L"Products\\" + Packed(product));
  EXPECT_EQ(Row(41), Uninstall + Widen(BundleIds[0]));
  EXPECT_EQ(Row(39), Uninstall + Widen(BundleIds[1]));
}

TEST(CleanupData, PatchRowsRepeatInTheInstallerUserData) {
  for (size_t i = 1; i <= 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Row(18 + i), UserData + L"Patches\\" + LastComponent(Row(i)));
  }
  for (size_t i = 51; i <= 53; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Row(i + 3), UserData + L"Patches\\" + LastComponent(Row(i)));
  }
  EXPECT_EQ(LastComponent(Row(16)), LastComponent(Row(17)));
}

// The fleet's detection script looks for what the cleanup removes: the same
// product code and the same rows, in the same order.
TEST(CleanupData, DetectionScriptNamesTheSameProductAndRows) {
  std::ifstream script(DETECTION_SCRIPT);
  ASSERT_TRUE(script) << DETECTION_SCRIPT;
  const std::string productLine = "$ProductCode = '";
  std::wstring product;
  std::vector<std::wstring> rows;
  bool inRows = false;
  for (std::string line; std::getline(script, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (inRows && line == ")") {
      inRows = false;
    } else if (inRows) {
      ASSERT_TRUE(line.size() > 4 && line.rfind("  '", 0) == 0 &&
                  line.back() == '\'')
          << line;
      rows.push_back(Widen(line.substr(3, line.size() - 4).c_str()));
    } else if (line == "$CleanupKeys = @(") {
      inRows = true;
    } else if (line.rfind(productLine, 0) == 0 && line.back() == '\'') {
      product = Widen(line.substr(productLine.size()).c_str());
      product.pop_back();
    }
  }
  EXPECT_EQ(product, MsiProductCode);
  ASSERT_EQ(rows.size(), CleanupKeyCount);
  for (size_t i = 0; i < CleanupKeyCount; ++i) {
    EXPECT_EQ(rows[i], CleanupKeys[i]) << "row " << i + 1;
  }
}

}  // namespace
