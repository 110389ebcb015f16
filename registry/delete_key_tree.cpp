#include "registry/delete_key_tree.h"

#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "registry/native_key.h"

namespace {

constexpr DWORD SubkeyNameCapacity = 260;

// Opens the key named by `path` itself: with REG_OPTION_OPEN_LINK a link is
// opened as the link, not as its target.
LSTATUS OpenKeyItself(const KeyPathBuffer& path, REGSAM access, HKEY* key) {
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, access,
                       key);
}

bool DeleteOpenedKey(HKEY key) {
  return NtDeleteKey(key) == 0;
}

// Opens the key for emptying and deletion; `*canDelete` tells whether `*key`
// holds DELETE access. Where the caller holds only one of the two rights, a
// deletable key that cannot be read is deleted right here (a leaf needs no
// emptying) and a readable key that cannot be deleted is opened for reading
// only, so that its subkeys can still go. Returns ERROR_FILE_NOT_FOUND when
// the key is not there, or no longer.
LSTATUS OpenForDeletion(const KeyPathBuffer& path, HKEY* key, bool* canDelete) {
  *canDelete = true;
  const LSTATUS status = OpenKeyItself(path, KEY_READ | DELETE, key);
  if (status != ERROR_ACCESS_DENIED) {
    return status;
  }
  *canDelete = false;
  HKEY deleteOnly = nullptr;
  if (OpenKeyItself(path, DELETE, &deleteOnly) == ERROR_SUCCESS) {
    const bool deleted = DeleteOpenedKey(deleteOnly);
    RegCloseKey(deleteOnly);
    if (deleted) {
      return ERROR_FILE_NOT_FOUND;
    }
  }
  return OpenKeyItself(path, KEY_READ, key);
}

// Deletes every subkey of `key`, whose path `path` holds and ends at `end`
// with a backslash. Stops at the first subkey that stays: the key's own
// deletion then fails, which is what reports it.
void DeleteSubkeys(HKEY key, KeyPathBuffer& path, size_t end) {
  for (;;) {
    wchar_t name[SubkeyNameCapacity];
    DWORD nameSize = SubkeyNameCapacity;
    FILETIME lastWrite;
    // Index 0 every time: each deletion moves the next subkey to the front.
    if (RegEnumKeyExW(key, 0, name, &nameSize, nullptr, nullptr, nullptr,
                      &lastWrite) != ERROR_SUCCESS) {
      return;
    }
    // After a subkey's deletion, path[end..] still holds its name. Seeing it
    // first again means the deletion reported success but the subkey is
    // still listed; going on would never end.
    if (name[0] == L'\0' || wcscmp(path + end, name) == 0) {
      return;
    }
    path[end] = L'\0';
    // A cut path would name another key: never descend into one.
    if (!AppendKeyPath(path, name) || DeleteKeyTree(path) == 0) {
      return;
    }
  }
}

}  // namespace

int DeleteKeyTree(KeyPathBuffer& path) {
  size_t end = KeyPathLength(path);
  if (end == 0 || end == KeyPathCapacity) {
    return 0;
  }

  HKEY key = nullptr;
  bool canDelete = false;
  const LSTATUS status = OpenForDeletion(path, &key, &canDelete);
  if (status == ERROR_FILE_NOT_FOUND) {
    return 1;
  }
  if (status != ERROR_SUCCESS) {
    printf("Error opening key.\n");
    return 0;
  }

  // A leaf, or a link (links have no subkeys of their own), goes at once.
  bool removed = canDelete && DeleteOpenedKey(key);
  if (!removed) {
    if (path[end - 1] != L'\\' && end < KeyPathMaxLength) {
      path[end++] = L'\\';
      path[end] = L'\0';
    }
    // Without room for a backslash, no subkey path would fit either.
    if (path[end - 1] == L'\\') {
      DeleteSubkeys(key, path, end);
      // Removes the backslash before `end`, added or given: the buffer holds
      // the key's own path again.
      path[end - 1] = L'\0';
    }
    // Made even when a subkey stayed: it then fails, and the result says so.
    removed = canDelete && DeleteOpenedKey(key);
  }
  RegCloseKey(key);
  return removed ? 1 : 0;
}
