#include "uninstall/command_line.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

namespace {

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
  wchar_t folder[SystemFolderCapacity];
  if (!GetSystemFolder(folder)) {
    return false;
  }
  // Whatever ComSpec held: Windows' C runtime starts ComSpec and, when that
  // file is missing or is a folder, looks for cmd.exe by name instead, in
  // the current folder first and then along PATH.
  char interpreter[SystemFolderCapacity + sizeof "\\cmd.exe"];
  const int length =
      snprintf(interpreter, sizeof interpreter, "%ls\\cmd.exe", folder);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof interpreter ||
      _putenv_s("ComSpec", interpreter) != 0) {
    return false;
  }
  // Every program started begins in the current folder, which is on its DLL
  // search path: the folder the cleanup was started from may be a download
  // folder anyone can write to.
  return SetCurrentDirectoryW(folder) != FALSE;
}
