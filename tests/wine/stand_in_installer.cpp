// Stands in for the vendor's deployment installer in the Wine tests. Records
// each start in C:\installer-calls.log, in several lines: the command line;
// its arguments as Windows parses them, a line each; one line with whether
// the manifest it was given exists, whether the product's registry keys were
// still there (the registry stage had not run yet) and Windows Installer's
// state of the product; its current folder; and the system folder. Prints
// one line to the output it inherits, as a real installer might.
#include <windows.h>
// After windows.h, which they build on.
#include <errno.h>
#include <msi.h>
#include <shellapi.h>
#include <stdio.h>

#include "cleanup/cleanup_data.h"

namespace {

constexpr const char* StartedLine = "stand-in installer: uninstalling";
// One of the product's own keys, which the registry stage deletes: row 30.
const wchar_t* const ProductKey = CleanupKeys[29];

bool KeyPresent(const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

}  // namespace

int wmain() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  FILE* log = _wfopen(L"C:\\installer-calls.log", L"a, ccs=UTF-8");
  if (args == nullptr || log == nullptr) {
    fprintf(stderr, "stand-in installer: cannot record its start: errno %d\n",
            errno);
    return 3;
  }
  fwprintf(log, L"call\tline=%ls\n", GetCommandLineW());
  for (int i = 0; i < count; ++i) {
    fwprintf(log, L"arg\t%ls\n", args[i]);
  }
  const bool manifest = count > 0 && GetFileAttributesW(args[count - 1]) !=
                                         INVALID_FILE_ATTRIBUTES;
  fwprintf(log, L"state\tmanifest=%d keys=%d product=%d\n", manifest ? 1 : 0,
           KeyPresent(ProductKey) ? 1 : 0,
           static_cast<int>(MsiQueryProductStateW(MsiProductCode)));
  wchar_t folder[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, folder);
  fwprintf(log, L"cwd\t%ls\n", folder);
  GetSystemDirectoryW(folder, MAX_PATH);
  fwprintf(log, L"system\t%ls\n", folder);
  fclose(log);
  LocalFree(args);
  printf("%s\n", StartedLine);
  return 0;
}
