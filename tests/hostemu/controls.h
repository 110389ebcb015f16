// Controls of the host emulation, for tests only: build registry trees,
// inject the faults a real machine can show (access refused, subkeys that are
// listed but cannot be opened, links), set the environment the C runtime
// sees, and read back what the product did.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hostemu {

// Registry (all paths relative to HKEY_LOCAL_MACHINE).
// An empty registry, no records, no mutexes, the clock at its start, and the
// environment of a default machine: ProgramFiles "C:\Program Files",
// ProgramData "C:\ProgramData", ComSpec "C:\Windows\system32\cmd.exe".
void Reset();
// The registry part of Reset alone.
void ResetRegistry();
void CreateKey(const std::wstring& path);  // with any missing parents
// A link at `path` whose target is `target`; opening through it follows it.
void CreateLink(const std::wstring& path, const std::wstring& target);
void SetValue(const std::wstring& path, const std::wstring& name,
              const std::wstring& data);
std::optional<std::wstring> GetValue(const std::wstring& path,
                                     const std::wstring& name);
// Whether the key itself exists (a link is not followed).
bool KeyExists(const std::wstring& path);
// The full path of the key `path` names, links in its middle followed (the
// last component is not), in the registry's own spelling; nullopt if absent.
std::optional<std::wstring> CanonicalPath(const std::wstring& path);
// Every key's full path, parents before children, siblings in name order.
std::vector<std::wstring> AllKeys();
// What another writer may do meanwhile: delete the tree at `path` (handles
// to its keys stay valid, on deleted keys) and put a link to `target` in its
// place.
void ReplaceWithLink(const std::wstring& path, const std::wstring& target);
// Full paths of the keys that open handles refer to, deleted ones left out.
std::vector<std::wstring> OpenKeys();
// Refuses every open of the key that asks for any of `access`.
constexpr REGSAM DenyEverything = ~REGSAM{0};
void DenyAccess(const std::wstring& path, REGSAM access);
// A subkey that is listed by enumeration but cannot be opened or removed;
// it keeps its parent from being deleted.
void AddPhantomSubkey(const std::wstring& parentPath, const std::wstring& name);

struct CallCounts {
  size_t open = 0;
  size_t enumerate = 0;
  size_t close = 0;
  size_t deleteByName = 0;
  size_t deleteByHandle = 0;
  size_t Total() const {
    return open + enumerate + close + deleteByName + deleteByHandle;
  }
};
CallCounts Calls();
size_t OpenHandleCount();
// Full paths of deleted keys, in the order they went.
std::vector<std::wstring> DeletedKeys();
// Past `limit` registry calls (100000 after Reset) the process ends with a
// message: a walk that long does not end.
void SetRegistryCallLimit(size_t limit);
// Runs before every registry call, e.g. to change the tree under the product.
void SetBeforeRegistryCall(std::function<void()> hook);

// The folder GetSystemDirectoryW answers ("C:\Windows\system32" after
// Reset); nullopt makes it fail.
void SetSystemDirectory(std::optional<std::wstring> folder);
// The current folder ("C:\Downloads" after Reset), and making every
// SetCurrentDirectoryW fail from now on.
std::wstring CurrentDirectory();
void FailSetCurrentDirectory();

// The emulation's clock, which GetTickCount64 reads and Sleep and waits move
// on: nothing waits for real. It starts at ClockStart.
constexpr ULONGLONG ClockStart = 7'000'000;
ULONGLONG Now();
// A named mutex that another process owns until the clock reaches `until`
// (one already past: it exists and is free). `abandoned`: its owner ends
// without releasing it, and the next wait that acquires it says so.
void HoldMutex(const std::wstring& name, ULONGLONG until,
               bool abandoned = false);
// Whether this process owns the mutex: acquired by a wait, not yet released.
bool MutexOwnedHere(const std::wstring& name);
size_t OpenKernelHandleCount();
// The part of Reset that concerns the above.
void ResetKernel();

// C runtime. Variable names compare case-insensitively, as on Windows.
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
std::optional<std::string> GetEnv(const std::string& name);
// _dupenv_s fails for `name` with `error`.
void FailEnvLookup(const std::string& name, errno_t error);
// Whether an unset variable is reported as Windows' runtime does (success,
// null value) or as Wine's does (EINVAL, output left untouched).
enum class UnsetVariableStyle { Windows, Wine };
void SetUnsetVariableStyle(UnsetVariableStyle style);
// Commands handed to system(), in order. Each returns the handler's status
// (0 without a handler).
const std::vector<std::string>& SystemCommands();
void SetSystemHandler(std::function<int(const char*)> handler);

}  // namespace hostemu
