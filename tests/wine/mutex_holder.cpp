// Keeps Windows Installer busy the way another installation does: holds its
// "Global\_MSIExecute" mutex for the given number of seconds. Prints
// "holding" once it holds it, and just before letting go records Windows
// Installer's state of the cleanup's product as "state at release: N" in
// C:\mutex-holder.log. Once a line on its input says that the cleanup has
// ended, records whether the mutex is free again there (within 30 s: on
// Windows, the Windows Installer service may let go a moment after msiexec
// has returned).
#include <windows.h>
// After windows.h, which it builds on.
#include <errno.h>
#include <msi.h>
#include <stdio.h>
#include <stdlib.h>

#include "cleanup/cleanup_data.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"usage: mutex-holder SECONDS\n");
    return 2;
  }
  // On Windows the Windows Installer service may have made the mutex
  // already: open it then, and wait for a turn like any installation. Only
  // the right to wait is asked for, which is also what releasing takes: the
  // service's access list may grant no more.
  HANDLE mutex =
      CreateMutexExW(nullptr, L"Global\\_MSIExecute", 0, SYNCHRONIZE);
  if (mutex == nullptr) {
    fwprintf(stderr, L"mutex-holder: cannot open the mutex: error %lu\n",
             GetLastError());
    return 3;
  }
  const DWORD waited = WaitForSingleObject(mutex, 60 * 1000);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    fwprintf(stderr,
             L"mutex-holder: cannot take the mutex: wait %lu, error %lu\n",
             waited, GetLastError());
    return 3;
  }
  printf("holding\n");
  fflush(stdout);
  Sleep(static_cast<DWORD>(_wtoi(argv[1])) * 1000);
  FILE* log = _wfopen(L"C:\\mutex-holder.log", L"w");
  if (log == nullptr) {
    fwprintf(stderr, L"mutex-holder: cannot write its log: errno %d\n", errno);
    return 3;
  }
  fprintf(log, "state at release: %d\n",
          static_cast<int>(MsiQueryProductStateW(MsiProductCode)));
  fflush(log);
  ReleaseMutex(mutex);
  // Kept open until the driver says the cleanup has ended: a mutex the
  // cleanup took and did not give back is then found abandoned (or held).
  char line[16];
  fgets(line, sizeof line, stdin);
  const DWORD after = WaitForSingleObject(mutex, 30 * 1000);
  fprintf(log, "after the cleanup: %s\n",
          after == WAIT_OBJECT_0    ? "free"
          : after == WAIT_ABANDONED ? "abandoned"
                                    : "held");
  fclose(log);
  if (after == WAIT_OBJECT_0 || after == WAIT_ABANDONED) {
    ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
  return 0;
}
