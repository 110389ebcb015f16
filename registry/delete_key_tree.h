#pragma once

#include "registry/key_path_buffer.h"

// Deletes the key at `path` under HKEY_LOCAL_MACHINE together with every key
// below it, each key right after its own subkeys.
//
// What is followed: only the named key is opened by its whole path (once, or,
// when access is refused, again with delete rights alone and then with read
// rights alone: three opens at most), and a link above it (in `path`, outside
// the tree) is resolved as Windows resolves any path. What is not: the named
// key itself, if it is a link, and every key inside the tree are opened as
// themselves (a link is removed as a link, its target left alone), and each
// subkey is opened through its parent's open handle by the name the enumeration
// gave. Whatever the keys above become meanwhile (deleted, replaced by a link),
// the walk stays in the tree it holds; a key deleted by someone else while the
// walk holds it counts as gone.
//
// Returns 1 when the key no longer exists (an absent key counts as done) and
// 0 when the key or part of its tree is still there. Writes
// "Error opening key.\n" for the first key of the tree that cannot be opened
// at all, and stops descending there. A subkey whose path would not fit the
// buffer (KeyPathMaxLength characters) is never descended into: the walk
// stops there as well, and what it deleted before stays deleted.
//
// `path` is edited in place while descending. On return it is unchanged when
// the key was deleted at once, was absent or could not be opened; otherwise it
// holds the key's path without a trailing backslash. An empty path (it would
// name the root itself) and a buffer without a terminator are refused:
// nothing is touched and 0 is returned.
int DeleteKeyTree(KeyPathBuffer& path);
