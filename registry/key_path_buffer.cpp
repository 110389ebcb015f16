#include "registry/key_path_buffer.h"

size_t KeyPathLength(const KeyPathBuffer& path) {
  size_t length = 0;
  while (length < KeyPathCapacity && path[length] != L'\0') {
    ++length;
  }
  return length;
}

namespace {

// Copies `source` into path[start..], stopping at KeyPathMaxLength, and
// terminates. Returns true when all of `source` fitted.
bool CopyFrom(KeyPathBuffer& path, size_t start, const wchar_t* source) {
  size_t at = start;
  while (*source != L'\0' && at < KeyPathMaxLength) {
    path[at++] = *source++;
  }
  path[at] = L'\0';
  return *source == L'\0';
}

}  // namespace

void CopyKeyPath(KeyPathBuffer& path, const wchar_t* source) {
  CopyFrom(path, 0, source);
}

bool AppendKeyPath(KeyPathBuffer& path, const wchar_t* source) {
  const size_t length = KeyPathLength(path);
  if (length == KeyPathCapacity) {
    return false;
  }
  return CopyFrom(path, length, source);
}
