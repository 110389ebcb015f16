#pragma once

#include <stddef.h>

// A registry key path relative to HKEY_LOCAL_MACHINE, NUL-terminated.
// At most KeyPathMaxLength characters of path fit.
constexpr size_t KeyPathCapacity = 520;
constexpr size_t KeyPathMaxLength = KeyPathCapacity - 1;
using KeyPathBuffer = wchar_t[KeyPathCapacity];

// Copies `source` up to its terminator. A source longer than
// KeyPathMaxLength is cut to its first KeyPathMaxLength characters; the
// result is always terminated.
void CopyKeyPath(KeyPathBuffer& path, const wchar_t* source);

// Appends `source` after the path's current end. If the buffer holds no
// terminator, nothing is appended. If the room runs out, the result is cut to
// KeyPathMaxLength characters and terminated. Returns true when `source` was
// appended whole.
[[nodiscard]] bool AppendKeyPath(KeyPathBuffer& path, const wchar_t* source);

// The path's length, or KeyPathCapacity when the buffer holds no terminator.
size_t KeyPathLength(const KeyPathBuffer& path);
