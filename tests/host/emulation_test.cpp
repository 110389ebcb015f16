// The emulation's own Windows-like behaviour: every other host test leans on
// it, so a fault here would hide faults everywhere else.
#include <windows.h>

#include "host_test.h"
#include "platform/ntdll.h"

namespace {

class Emulation : public HostTest {
 protected:
  static HKEY Open(const wchar_t* path, DWORD options = 0,
                   REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, options, access, &key),
              ERROR_SUCCESS)
        << path;
    return key;
  }
  static std::wstring First(HKEY key) {
    wchar_t name[260];
    DWORD size = 260;
    FILETIME time;
    if (RegEnumKeyExW(key, 0, name, &size, nullptr, nullptr, nullptr, &time) !=
        ERROR_SUCCESS) {
      return L"";
    }
    return name;
  }
};

TEST_F(Emulation, KeysWithSubkeysAndAbsentKeysAreNotDeleted) {
  hostemu::CreateKey(L"A\\B");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"A\\X", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"A\\X"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"\\A", 0, KEY_READ, &key),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"A"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"a\\b"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"A"), ERROR_SUCCESS);
  EXPECT_KEYS(Keys{});
}

TEST_F(Emulation, EnumerationAtIndexZeroMovesOnAfterEachDeletion) {
  hostemu::CreateKey(L"P\\b");
  hostemu::CreateKey(L"P\\A");
  hostemu::CreateKey(L"P\\c");
  HKEY key = Open(L"p");
  EXPECT_EQ(First(key), L"A");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"P\\A"), ERROR_SUCCESS);
  EXPECT_EQ(First(key), L"b");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"P\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"P\\C"), ERROR_SUCCESS);
  EXPECT_EQ(First(key), L"");
  wchar_t name[4];
  DWORD size = 4;
  hostemu::CreateKey(L"P\\long");
  EXPECT_EQ(
      RegEnumKeyExW(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
      ERROR_MORE_DATA);
  RegCloseKey(key);
}

TEST_F(Emulation, LinksAreFollowedUnlessOpenedAsLinks) {
  hostemu::CreateKey(L"Target\\Child");
  hostemu::CreateLink(L"Tree\\Link", L"Target");
  EXPECT_TRUE(hostemu::KeyExists(L"Tree\\Link"));
  RegCloseKey(Open(L"Tree\\Link\\Child"));

  HKEY link = Open(L"Tree\\Link", REG_OPTION_OPEN_LINK, KEY_READ | DELETE);
  EXPECT_EQ(First(link), L"");  // the link's own subkeys: none
  EXPECT_EQ(NtDeleteKey(link), STATUS_SUCCESS);
  // Behind the handle the key stays, deleted: nothing opens below it.
  HKEY below = nullptr;
  EXPECT_EQ(RegOpenKeyExW(link, L"Child", 0, KEY_READ, &below),
            ERROR_KEY_DELETED);
  EXPECT_EQ(NtDeleteKey(link), STATUS_KEY_DELETED);
  RegCloseKey(link);

  // Relative to an open handle, as from the root.
  HKEY target = Open(L"Target");
  EXPECT_EQ(RegOpenKeyExW(target, L"child", 0, KEY_READ, &below),
            ERROR_SUCCESS);
  RegCloseKey(below);
  RegCloseKey(target);
  EXPECT_KEYS((Keys{L"Target", L"Target\\Child", L"Tree"}));

  // Deleting by name goes through the link to the target.
  hostemu::CreateLink(L"Tree\\Link", L"Target\\Child");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Tree\\Link"), ERROR_SUCCESS);
  EXPECT_KEYS((Keys{L"Target", L"Tree", L"Tree\\Link"}));
}

TEST_F(Emulation, FaultsAndHandles) {
  hostemu::CreateKey(L"K\\Locked");
  hostemu::DenyAccess(L"K\\Locked", DELETE);
  hostemu::AddPhantomSubkey(L"K", L"Ghost");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"K\\Locked", 0,
                          KEY_READ | DELETE, &key),
            ERROR_ACCESS_DENIED);
  RegCloseKey(Open(L"K\\Locked"));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"K\\Ghost", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  HKEY parent = Open(L"K", 0, KEY_READ | DELETE);
  EXPECT_EQ(First(parent), L"Ghost");
  EXPECT_EQ(NtDeleteKey(parent), STATUS_CANNOT_DELETE);
  RegCloseKey(parent);

  HKEY readOnly = Open(L"K\\Locked");
  EXPECT_EQ(NtDeleteKey(readOnly), STATUS_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(readOnly), ERROR_INVALID_HANDLE);
  EXPECT_EQ(hostemu::OpenHandleCount(), 0u);
}

TEST(EmulationDeathTest, BoundedStringFunctionsEndTheProcessOnOverflow) {
  char narrow[4] = "ab";
  EXPECT_DEATH(strcat_s(narrow, sizeof narrow, "cd"), "strcat_s");
  wchar_t wide[4] = L"ab";
  EXPECT_DEATH(wcsncat_s(wide, 4, L"cd", 4), "wcsncat_s");
  EXPECT_DEATH(wcscpy_s(wide, 4, L"abcd"), "wcscpy_s");
  EXPECT_EQ(wcsncat_s(wide, 4, L"cd", 1), 0);
  EXPECT_STREQ(wide, L"abc");
}

}  // namespace
