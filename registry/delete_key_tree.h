#pragma once

#include "registry/key_path_buffer.h"

// Deletes the key at `path` under HKEY_LOCAL_MACHINE together with every key
// below it, each key right after its own subkeys. A registry link is never
// followed: a link inside the tree, or at `path` itself, is removed as a link
// and its target is left alone.
//
// Returns 1 when the key no longer exists (an absent key counts as done) and
// 0 when the key or part of its tree is still there. Writes
// "Error opening key.\n" for the first key of the tree that cannot be opened
// at all, and stops descending there.
//
// `path` is edited in place while descending. On return it is unchanged when
// the key was deleted at once, was absent or could not be opened; otherwise it
// holds the key's path without a trailing backslash. An empty path (it would
// name the root itself) and a buffer without a terminator are refused:
// nothing is touched and 0 is returned.
int DeleteKeyTree(KeyPathBuffer& path);
