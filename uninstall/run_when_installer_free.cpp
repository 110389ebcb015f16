#include "uninstall/run_when_installer_free.h"

#include <stdlib.h>

namespace {

constexpr const wchar_t* InstallerMutex = L"Global\\_MSIExecute";

DWORD MillisecondsUntil(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Waits, until `deadline` at the latest, while another process holds
// Windows Installer's mutex. Whatever the wait acquires is released at once,
// also a mutex its owner abandoned: holding it would keep msiexec out.
void WaitWhileInstallerBusy(ULONGLONG deadline) {
  // No mutex means no installation running; one that cannot be opened
  // leaves the busy answer to tell.
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, InstallerMutex);
  if (mutex == nullptr) {
    return;
  }
  const DWORD waited = WaitForSingleObject(mutex, MillisecondsUntil(deadline));
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
}

}  // namespace

int RunWhenInstallerFree(const char* command) {
  const ULONGLONG deadline = GetTickCount64() + InstallerWaitLimit;
  for (;;) {
    WaitWhileInstallerBusy(deadline);
    const int status = system(command);
    const DWORD left = MillisecondsUntil(deadline);
    if (status != ERROR_INSTALL_ALREADY_RUNNING || left == 0) {
      return status;
    }
    Sleep(left < InstallerRetryPause ? left : InstallerRetryPause);
  }
}
