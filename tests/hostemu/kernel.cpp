// The process-wide Windows calls the cleanup makes outside the registry: the
// system folder, the current folder, the clock, and named mutexes that other
// processes hold. Time is the emulation's own: waiting and sleeping move the
// clock on at once, so a test of a ten-minute wait takes no time.
#include <map>
#include <memory>

#include "tests/hostemu/controls.h"

namespace {

struct Mutex {
  // Another process owns it until the clock reaches this.
  ULONGLONG heldUntil = 0;
  // Its owner ends without releasing it: the next wait reports so.
  bool abandoned = false;
  // Times this process acquired it and has not released it.
  int ownedHere = 0;
};

struct Kernel {
  std::optional<std::wstring> systemDirectory = L"C:\\Windows\\system32";
  std::wstring currentDirectory = L"C:\\Downloads";
  bool currentDirectoryFails = false;
  ULONGLONG clock = hostemu::ClockStart;
  std::map<std::wstring, std::shared_ptr<Mutex>> mutexes;
  std::map<HANDLE, std::shared_ptr<Mutex>> handles;
  uintptr_t nextHandle = 0x1000;
};

Kernel& State() {
  static Kernel kernel;
  return kernel;
}

std::shared_ptr<Mutex> MutexOf(HANDLE handle) {
  auto found = State().handles.find(handle);
  return found == State().handles.end() ? nullptr : found->second;
}

}  // namespace

extern "C" {

UINT WINAPI GetSystemDirectoryW(WCHAR* buffer, UINT size) {
  const std::optional<std::wstring>& folder = State().systemDirectory;
  if (!folder) {
    return 0;
  }
  const UINT length = static_cast<UINT>(folder->size());
  if (buffer == nullptr || size <= length) {
    return length + 1;
  }
  folder->copy(buffer, length);
  buffer[length] = L'\0';
  return length;
}

// Without the long-path opt-in a current folder, with the backslash Windows
// adds to it, must fit MAX_PATH.
BOOL WINAPI SetCurrentDirectoryW(const WCHAR* path) {
  Kernel& kernel = State();
  const std::wstring folder = path == nullptr ? L"" : path;
  const size_t room =
      folder.empty() || folder.back() != L'\\' ? MAX_PATH - 2 : MAX_PATH - 1;
  if (kernel.currentDirectoryFails || folder.empty() || folder.size() > room) {
    return FALSE;
  }
  kernel.currentDirectory = folder;
  return TRUE;
}

ULONGLONG WINAPI GetTickCount64(void) {
  return State().clock;
}

void WINAPI Sleep(DWORD milliseconds) {
  State().clock += milliseconds;
}

// Only mutexes that another process made exist; names compare exactly, as
// the object manager's do for this one.
HANDLE WINAPI OpenMutexW(DWORD desired, BOOL, const WCHAR* name) {
  Kernel& kernel = State();
  auto found = kernel.mutexes.find(name == nullptr ? L"" : name);
  if ((desired & SYNCHRONIZE) == 0 || found == kernel.mutexes.end()) {
    return nullptr;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(kernel.nextHandle++);
  kernel.handles[handle] = found->second;
  return handle;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Kernel& kernel = State();
  const std::shared_ptr<Mutex> mutex = MutexOf(handle);
  if (!mutex) {
    return WAIT_FAILED;
  }
  if (mutex->ownedHere == 0 && kernel.clock < mutex->heldUntil) {
    if (milliseconds != INFINITE &&
        kernel.clock + milliseconds < mutex->heldUntil) {
      kernel.clock += milliseconds;
      return WAIT_TIMEOUT;
    }
    kernel.clock = mutex->heldUntil;
  }
  ++mutex->ownedHere;
  if (mutex->abandoned) {
    mutex->abandoned = false;
    return WAIT_ABANDONED;
  }
  return WAIT_OBJECT_0;
}

BOOL WINAPI ReleaseMutex(HANDLE handle) {
  const std::shared_ptr<Mutex> mutex = MutexOf(handle);
  if (!mutex || mutex->ownedHere == 0) {
    return FALSE;
  }
  --mutex->ownedHere;
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  return State().handles.erase(handle) == 1 ? TRUE : FALSE;
}

}  // extern "C"

namespace hostemu {

void ResetKernel() {
  State() = Kernel{};
}

void SetSystemDirectory(std::optional<std::wstring> folder) {
  State().systemDirectory = std::move(folder);
}

std::wstring CurrentDirectory() {
  return State().currentDirectory;
}

void FailSetCurrentDirectory() {
  State().currentDirectoryFails = true;
}

ULONGLONG Now() {
  return State().clock;
}

void HoldMutex(const std::wstring& name, ULONGLONG until, bool abandoned) {
  auto& mutex = State().mutexes[name];
  if (!mutex) {
    mutex = std::make_shared<Mutex>();
  }
  mutex->heldUntil = until;
  mutex->abandoned = abandoned;
}

bool MutexOwnedHere(const std::wstring& name) {
  auto found = State().mutexes.find(name);
  return found != State().mutexes.end() && found->second->ownedHere > 0;
}

size_t OpenKernelHandleCount() {
  return State().handles.size();
}

}  // namespace hostemu
