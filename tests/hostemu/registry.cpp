// An in-memory registry with the behaviour of the Windows one that the
// cleanup relies on: names compare case-insensitively, enumeration lists
// subkeys in name order, a key with subkeys cannot be deleted, an absent key
// opens with ERROR_FILE_NOT_FOUND, a path with a leading backslash with
// ERROR_BAD_PATHNAME, links are followed unless opened with
// REG_OPTION_OPEN_LINK, a key opens relative to any open handle, and a
// deleted key stays valid behind open handles: nothing opens below it
// (ERROR_KEY_DELETED) and deleting it again answers STATUS_KEY_DELETED.
#include <stdio.h>
#include <stdlib.h>
#include <wctype.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "platform/ntdll.h"
#include "tests/hostemu/controls.h"

namespace {

struct NameLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
      const wint_t x = towupper(static_cast<wint_t>(a[i]));
      const wint_t y = towupper(static_cast<wint_t>(b[i]));
      if (x != y) {
        return x < y;
      }
    }
    return a.size() < b.size();
  }
};

struct Key {
  std::wstring name;
  Key* parent = nullptr;
  std::map<std::wstring, std::shared_ptr<Key>, NameLess> subkeys;
  std::set<std::wstring, NameLess> phantoms;
  std::map<std::wstring, std::wstring, NameLess> values;
  bool isLink = false;
  std::wstring linkTarget;
  REGSAM denied = 0;
  bool deleted = false;
};

}  // namespace

struct HKEY__ {
  std::shared_ptr<Key> key;
  REGSAM access;
};

namespace {

// Far more than any test tree needs: a walk that makes this many calls does
// not end.
constexpr size_t DefaultCallLimit = 100000;

struct Registry {
  std::shared_ptr<Key> root = std::make_shared<Key>();
  std::set<HKEY> handles;
  hostemu::CallCounts calls;
  std::vector<std::wstring> deleted;
  std::function<void()> beforeCall;
  size_t callLimit = DefaultCallLimit;
};

Registry& State() {
  static Registry registry;
  return registry;
}

void BeforeCall(size_t hostemu::CallCounts::* counter) {
  Registry& r = State();
  ++(r.calls.*counter);
  if (r.calls.Total() > r.callLimit) {
    fprintf(stderr, "hostemu: more than %zu registry calls: a loop?\n",
            r.callLimit);
    abort();
  }
  if (r.beforeCall) {
    r.beforeCall();
  }
}

std::vector<std::wstring> SplitPath(const WCHAR* path) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (const WCHAR* c = path; c != nullptr && *c != L'\0'; ++c) {
    if (*c == L'\\') {
      if (!part.empty()) {
        parts.push_back(part);
      }
      part.clear();
    } else {
      part += *c;
    }
  }
  if (!part.empty()) {
    parts.push_back(part);
  }
  return parts;
}

std::wstring FullPath(const Key* key) {
  std::wstring path;
  for (; key != nullptr && key->parent != nullptr; key = key->parent) {
    path = path.empty() ? key->name : key->name + L"\\" + path;
  }
  return path;
}

// Links may point at links; a chain this long is a loop.
constexpr int MaxLinkDepth = 16;

std::shared_ptr<Key> Resolve(std::shared_ptr<Key> start, const WCHAR* path,
                             bool openLink, int depth = 0) {
  if (depth > MaxLinkDepth) {
    return nullptr;
  }
  const std::vector<std::wstring> parts = SplitPath(path);
  std::shared_ptr<Key> key = std::move(start);
  for (size_t i = 0; i < parts.size(); ++i) {
    auto found = key->subkeys.find(parts[i]);
    if (found == key->subkeys.end()) {
      return nullptr;
    }
    key = found->second;
    if (key->isLink && (i + 1 < parts.size() || !openLink)) {
      key = Resolve(State().root, key->linkTarget.c_str(), false, depth + 1);
      if (key == nullptr) {
        return nullptr;
      }
    }
  }
  return key;
}

std::shared_ptr<Key> KeyOf(HKEY handle) {
  if (handle == HKEY_LOCAL_MACHINE) {
    return State().root;
  }
  if (State().handles.count(handle) == 0) {
    return nullptr;
  }
  return handle->key;
}

std::shared_ptr<Key> MakePath(const std::wstring& path) {
  std::shared_ptr<Key> key = State().root;
  for (const std::wstring& part : SplitPath(path.c_str())) {
    std::shared_ptr<Key>& child = key->subkeys[part];
    if (child == nullptr) {
      child = std::make_shared<Key>();
      child->name = part;
      child->parent = key.get();
    }
    key = child;
  }
  return key;
}

std::shared_ptr<Key> MustFind(const std::wstring& path) {
  std::shared_ptr<Key> key = Resolve(State().root, path.c_str(), true);
  if (key == nullptr) {
    fprintf(stderr, "hostemu: no key %ls\n", path.c_str());
    abort();
  }
  return key;
}

bool HasSubkeys(const Key& key) {
  return !key.subkeys.empty() || !key.phantoms.empty();
}

void Detach(Key& key) {
  key.deleted = true;
  Key* parent = key.parent;
  key.parent = nullptr;
  parent->subkeys.erase(key.name);
}

void Remove(Key& key) {
  State().deleted.push_back(FullPath(&key));
  Detach(key);
}

// Another writer's deletion of a whole tree: not recorded as the product's.
void DetachTree(Key& key) {
  while (!key.subkeys.empty()) {
    DetachTree(*key.subkeys.begin()->second);
  }
  Detach(key);
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, const WCHAR* subKey, DWORD options,
                             REGSAM desired, HKEY* result) {
  BeforeCall(&hostemu::CallCounts::open);
  std::shared_ptr<Key> start = KeyOf(key);
  if (start == nullptr || result == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (subKey != nullptr && subKey[0] == L'\\') {
    return ERROR_BAD_PATHNAME;  // a subkey path is relative
  }
  if (start->deleted) {
    return ERROR_KEY_DELETED;
  }
  std::shared_ptr<Key> found =
      Resolve(start, subKey, (options & REG_OPTION_OPEN_LINK) != 0);
  if (found == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  if ((found->denied & desired) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  *result = new HKEY__{found, desired};
  State().handles.insert(*result);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name,
                             DWORD* nameSize, DWORD*, WCHAR*, DWORD*,
                             FILETIME* lastWriteTime) {
  BeforeCall(&hostemu::CallCounts::enumerate);
  std::shared_ptr<Key> k = KeyOf(key);
  if (k == nullptr || name == nullptr || nameSize == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (key != HKEY_LOCAL_MACHINE &&
      (key->access & KEY_ENUMERATE_SUB_KEYS) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (k->deleted) {
    return ERROR_KEY_DELETED;
  }
  std::set<std::wstring, NameLess> names = k->phantoms;
  for (const auto& entry : k->subkeys) {
    names.insert(entry.second->name);
  }
  if (index >= names.size()) {
    return ERROR_NO_MORE_ITEMS;
  }
  const std::wstring& found = *std::next(names.begin(), index);
  if (found.size() + 1 > *nameSize) {
    return ERROR_MORE_DATA;
  }
  found.copy(name, found.size());
  name[found.size()] = L'\0';
  *nameSize = static_cast<DWORD>(found.size());
  if (lastWriteTime != nullptr) {
    *lastWriteTime = FILETIME{0, 0};
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY key, const WCHAR* subKey) {
  BeforeCall(&hostemu::CallCounts::deleteByName);
  std::shared_ptr<Key> start = KeyOf(key);
  if (start == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (subKey == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (subKey[0] == L'\\') {
    return ERROR_BAD_PATHNAME;
  }
  // Looked up by name like any open: a link is followed to its target.
  std::shared_ptr<Key> found = Resolve(start, subKey, false);
  if (found == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  if ((found->denied & DELETE) != 0 || found->parent == nullptr ||
      HasSubkeys(*found)) {
    return ERROR_ACCESS_DENIED;
  }
  Remove(*found);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  BeforeCall(&hostemu::CallCounts::close);
  if (State().handles.erase(key) == 0) {
    return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

LONG NTAPI NtDeleteKey(HANDLE handle) {
  BeforeCall(&hostemu::CallCounts::deleteByHandle);
  HKEY key = static_cast<HKEY>(handle);
  if (State().handles.count(key) == 0) {
    return STATUS_INVALID_HANDLE;
  }
  Key& k = *key->key;
  if ((key->access & DELETE) == 0) {
    return STATUS_ACCESS_DENIED;
  }
  if (k.deleted) {
    return STATUS_KEY_DELETED;  // as Windows answers for a key gone
  }
  if (k.parent == nullptr) {
    return STATUS_ACCESS_DENIED;
  }
  if (HasSubkeys(k)) {
    return STATUS_CANNOT_DELETE;
  }
  Remove(k);
  return STATUS_SUCCESS;
}

}  // extern "C"

namespace hostemu {

void ResetRegistry() {
  Registry& r = State();
  for (HKEY handle : r.handles) {
    delete handle;
  }
  r = Registry{};
}

void CreateKey(const std::wstring& path) {
  MakePath(path);
}

void CreateLink(const std::wstring& path, const std::wstring& target) {
  std::shared_ptr<Key> link = MakePath(path);
  link->isLink = true;
  link->linkTarget = target;
}

void SetValue(const std::wstring& path, const std::wstring& name,
              const std::wstring& data) {
  MustFind(path)->values[name] = data;
}

std::optional<std::wstring> GetValue(const std::wstring& path,
                                     const std::wstring& name) {
  std::shared_ptr<Key> key = Resolve(State().root, path.c_str(), true);
  if (key == nullptr) {
    return std::nullopt;
  }
  auto found = key->values.find(name);
  if (found == key->values.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::optional<std::wstring> CanonicalPath(const std::wstring& path) {
  std::shared_ptr<Key> key = Resolve(State().root, path.c_str(), true);
  if (key == nullptr) {
    return std::nullopt;
  }
  return FullPath(key.get());
}

bool KeyExists(const std::wstring& path) {
  return Resolve(State().root, path.c_str(), true) != nullptr;
}

namespace {
void Collect(const Key& key, std::vector<std::wstring>& out) {
  for (const auto& entry : key.subkeys) {
    out.push_back(FullPath(entry.second.get()));
    Collect(*entry.second, out);
  }
}
}  // namespace

std::vector<std::wstring> AllKeys() {
  std::vector<std::wstring> keys;
  Collect(*State().root, keys);
  return keys;
}

void ReplaceWithLink(const std::wstring& path, const std::wstring& target) {
  DetachTree(*MustFind(path));
  CreateLink(path, target);
}

std::vector<std::wstring> OpenKeys() {
  std::vector<std::wstring> paths;
  for (HKEY handle : State().handles) {
    if (!handle->key->deleted && handle->key->parent != nullptr) {
      paths.push_back(FullPath(handle->key.get()));
    }
  }
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return paths;
}

void DenyAccess(const std::wstring& path, REGSAM access) {
  MustFind(path)->denied |= access;
}

void AddPhantomSubkey(const std::wstring& parentPath,
                      const std::wstring& name) {
  MustFind(parentPath)->phantoms.insert(name);
}

CallCounts Calls() {
  return State().calls;
}

size_t OpenHandleCount() {
  return State().handles.size();
}

std::vector<std::wstring> DeletedKeys() {
  return State().deleted;
}

void SetRegistryCallLimit(size_t limit) {
  State().callLimit = limit;
}

void SetBeforeRegistryCall(std::function<void()> hook) {
  State().beforeCall = std::move(hook);
}

}  // namespace hostemu
