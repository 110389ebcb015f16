#include "uninstall/command_line.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

namespace {

// "C:\..." or "C:/...", or a UNC path "\\server\share\...".
bool IsFullPath(const char* path) {
  const char c = path[0];
  const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  if (letter && path[1] == ':') {
    return path[2] == '\\' || path[2] == '/';
  }
  return path[0] == '\\' && path[1] == '\\';
}

bool IsSafeCharacter(unsigned long c) {
  return c != '"' && c != '%' && c >= 0x20 && c != 0x7f;
}

}  // namespace

bool IsSafeInQuotes(const char* value) {
  for (const char* c = value; *c != '\0'; ++c) {
    if (!IsSafeCharacter(static_cast<unsigned char>(*c))) {
      return false;
    }
  }
  return true;
}

bool IsSafeInQuotes(const wchar_t* value) {
  for (const wchar_t* c = value; *c != L'\0'; ++c) {
    if (!IsSafeCharacter(static_cast<unsigned long>(*c))) {
      return false;
    }
  }
  return true;
}

bool GetSystemFolder(wchar_t (&folder)[SystemFolderCapacity]) {
  const UINT length = GetSystemDirectoryW(folder, SystemFolderCapacity);
  return length > 0 && length < SystemFolderCapacity && IsSafeInQuotes(folder);
}

bool PinCommandInterpreter() {
  // Start from null: a runtime may leave the pointer untouched when the
  // variable is not set.
  char* comSpec = nullptr;
  size_t size = 0;
  const bool pinned = _dupenv_s(&comSpec, &size, "ComSpec") == 0 &&
                      comSpec != nullptr && IsFullPath(comSpec);
  free(comSpec);
  if (pinned) {
    return true;
  }
  wchar_t folder[SystemFolderCapacity];
  if (!GetSystemFolder(folder)) {
    return false;
  }
  char interpreter[SystemFolderCapacity + sizeof "\\cmd.exe"];
  const int length =
      snprintf(interpreter, sizeof interpreter, "%ls\\cmd.exe", folder);
  return length > 0 && static_cast<size_t>(length) < sizeof interpreter &&
         _putenv_s("ComSpec", interpreter) == 0;
}
