#include "registry/delete_key_tree.h"

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "platform/ntdll.h"

namespace {

constexpr DWORD SubkeyNameCapacity = 260;

// Opens the key `name` below `parent` as itself: with REG_OPTION_OPEN_LINK a
// link is opened as the link, not as its target.
LSTATUS OpenKeyItself(HKEY parent, const wchar_t* name, REGSAM access,
                      HKEY* key) {
  return RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, access, key);
}

// True when the key behind `key` is gone: deleted now, or already by someone
// else while the walk held it (some systems then answer STATUS_KEY_DELETED).
bool DeleteOpenedKey(HKEY key) {
  const LONG status = NtDeleteKey(key);
  return status == STATUS_SUCCESS || status == STATUS_KEY_DELETED;
}

enum class Opened : uint8_t {
  ForDeletion,      // `*key` holds KEY_READ and DELETE
  ForReadingOnly,   // `*key` holds KEY_READ: the subkeys can still go
  DeletedUnopened,  // a leaf that could be deleted but not read: gone now
  Absent,           // not there, or its parent is gone: nothing to delete
  Refused,          // cannot be opened at all
};

// Opens `name` below `parent` for emptying and deletion. Where the caller
// holds only one of the two rights, a deletable key that cannot be read is
// deleted right here (a leaf needs no emptying) and a readable key that
// cannot be deleted is opened for reading only.
Opened OpenForDeletion(HKEY parent, const wchar_t* name, HKEY* key) {
  LSTATUS status = OpenKeyItself(parent, name, KEY_READ | DELETE, key);
  if (status == ERROR_ACCESS_DENIED) {
    HKEY deleteOnly = nullptr;
    if (OpenKeyItself(parent, name, DELETE, &deleteOnly) == ERROR_SUCCESS) {
      const bool deleted = DeleteOpenedKey(deleteOnly);
      RegCloseKey(deleteOnly);
      if (deleted) {
        return Opened::DeletedUnopened;
      }
    }
    status = OpenKeyItself(parent, name, KEY_READ, key);
    if (status == ERROR_SUCCESS) {
      return Opened::ForReadingOnly;
    }
  }
  switch (status) {
    case ERROR_SUCCESS:
      return Opened::ForDeletion;
    // A parent deleted while the walk held it took its subkeys with it.
    case ERROR_FILE_NOT_FOUND:
    case ERROR_KEY_DELETED:
      return Opened::Absent;
    default:
      return Opened::Refused;
  }
}

int DeleteTree(HKEY parent, const wchar_t* name, KeyPathBuffer& path,
               size_t end);

// Deletes every subkey of `key`, whose path `path` holds and ends at `end`
// with a backslash. Each subkey is opened through `key`, by the name the
// enumeration gave: whatever the keys above `key` have become meanwhile, the
// walk stays inside the tree it holds. Stops at the first subkey that stays:
// the key's own deletion then fails, which is what reports it.
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
    // A subkey whose path does not fit is never descended into.
    if (!AppendKeyPath(path, name) ||
        DeleteTree(key, name, path, KeyPathLength(path)) == 0) {
      return;
    }
  }
}

// Deletes the key `name` below `parent`, whose whole path `path` holds and
// ends at `end`, with its subkeys.
int DeleteTree(HKEY parent, const wchar_t* name, KeyPathBuffer& path,
               size_t end) {
  HKEY key = nullptr;
  const Opened opened = OpenForDeletion(parent, name, &key);
  if (opened == Opened::Absent || opened == Opened::DeletedUnopened) {
    return 1;
  }
  if (opened == Opened::Refused) {
    printf("Error opening key.\n");
    return 0;
  }

  const bool canDelete = opened == Opened::ForDeletion;
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

}  // namespace

int DeleteKeyTree(KeyPathBuffer& path) {
  const size_t end = KeyPathLength(path);
  if (end == 0 || end == KeyPathCapacity) {
    return 0;
  }
  // The only key opened by its whole path (up to three times, with fewer
  // rights each time access is refused): the named key itself.
  return DeleteTree(HKEY_LOCAL_MACHINE, path, path, end);
}
