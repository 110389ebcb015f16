#pragma once

#include <windows.h>

// Deletes the key that `key` refers to, which must have been opened with
// DELETE access. Unlike RegDeleteKeyW, which looks the key up by name and so
// follows a registry link to its target, this removes exactly the key behind
// the handle: a link opened with REG_OPTION_OPEN_LINK is removed as a link.
// Returns 0 (STATUS_SUCCESS) when the key was deleted; a key that still has
// subkeys is not deleted. Exported by ntdll.
extern "C" LONG NTAPI NtDeleteKey(HANDLE key);
