// What the cleanup calls in ntdll, which the Windows headers leave to the
// driver kit. Both builds include it: the Windows build gets the functions
// from ntdll.dll, the host build from its emulation.
#pragma once

#include <windows.h>

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((LONG)0x00000000L)
#endif
#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((LONG)0xC000017CL)
#endif

// Deletes the key that `key` refers to, which must have been opened with
// DELETE access. Unlike RegDeleteKeyW, which looks the key up by name and so
// follows a registry link to its target, this removes exactly the key behind
// the handle: a link opened with REG_OPTION_OPEN_LINK is removed as a link.
// Returns STATUS_SUCCESS when the key was deleted and STATUS_KEY_DELETED
// (on some systems) when it was already gone; a key that still has subkeys
// is not deleted.
extern "C" LONG NTAPI NtDeleteKey(HANDLE key);
