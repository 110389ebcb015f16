// Stands in for a program someone left where the cleanup must not look for
// the programs it starts: a download folder, the current folder, a folder
// early on PATH. Records that it ran, by which path and with which command
// line, as one line of C:\planted.log, and exits 0.
#include <stdio.h>
#include <windows.h>

int wmain() {
  wchar_t self[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  FILE* log = _wfopen(L"C:\\planted.log", L"a, ccs=UTF-8");
  if (log == nullptr) {
    return 3;
  }
  fwprintf(log, L"ran\t%ls\t%ls\n", self, GetCommandLineW());
  fclose(log);
  return 0;
}
