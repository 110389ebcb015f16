// Grows extreme trees under one cleanup row in a Wine prefix and runs the
// program's own DeleteKeyTree on them:
//   registry_stress wide N     N leaves under the row
//   registry_stress deep       chains to exactly the path limit, and one past
//   registry_stress long       255-character names
//   registry_stress racing     another process adds subkeys during the walk,
//                              then another thread swaps the key the walk
//                              is in for a link to a victim tree, many rounds
//   registry_stress trailing   a path given with a trailing backslash
// Keys beside the row must survive every case. Prints what it measured;
// exits 0 when every check held.
#include <stdio.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "cleanup/cleanup_data.h"
#include "platform/ntdll.h"
#include "registry/delete_key_tree.h"

namespace {

// Row 30, one of the vendor's keys.
const std::wstring Row = CleanupKeys[29];
const std::vector<std::wstring> Neighbours = {
    Row + L"-Backup",
    Row + L"-Backup\\Child",
    L"SOFTWARE\\Tarnholt\\Neighbour",
};
// What a link put into the tree points at: it must survive whole.
const std::wstring Victim = L"SOFTWARE\\Tarnholt\\Victim";

int failures = 0;

void Expect(bool condition, const char* what) {
  if (!condition) {
    printf("FAIL: %s\n", what);
    ++failures;
  }
}

void Create(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    printf("FAIL: cannot create %ls\n", path.c_str());
    exit(2);
  }
  RegCloseKey(key);
}

bool Exists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Runs DeleteKeyTree on `path` and reports how long it took. On return the
// buffer must hold `after` (by default the path itself).
int Delete(const std::wstring& path, const char* label,
           const std::wstring& after = L"") {
  KeyPathBuffer buffer;
  CopyKeyPath(buffer, path.c_str());
  const auto start = std::chrono::steady_clock::now();
  const int result = DeleteKeyTree(buffer);
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  printf("%s: result %d in %.3f s\n", label, result, took.count());
  Expect((after.empty() ? path : after) == buffer,
         "the buffer does not hold the expected path");
  return result;
}

void Wide(int count) {
  Create(Row);
  for (int i = 0; i < count; ++i) {
    Create(Row + L"\\Leaf" + std::to_wstring(i));
  }
  Expect(Delete(Row, "wide") == 1, "a wide tree was not deleted");
  Expect(!Exists(Row), "the row is still there");
}

// A chain of one-letter keys under the row whose deepest path has `length`
// characters.
std::wstring Chain(size_t length) {
  std::wstring path = Row;
  while (path.size() + 2 <= length) {
    path += L"\\k";
  }
  if (path.size() < length) {
    path += L'k';
  }
  Create(path);
  return path;
}

void Deep() {
  const std::wstring fits = Chain(KeyPathMaxLength);
  Expect(fits.size() == KeyPathMaxLength, "chain length");
  Expect(Delete(Row, "deep, 519 characters") == 1, "the chain was not deleted");
  Expect(!Exists(Row), "the row is still there");

  const std::wstring past = Chain(KeyPathMaxLength + 2);
  Expect(Delete(Row, "deep, one level past") == 0, "result was not 0");
  for (std::wstring key = past; key.size() >= Row.size();
       key.resize(key.rfind(L'\\'))) {
    Expect(Exists(key), "a key on the too-long path was deleted");
  }
}

void Long() {
  const std::wstring name(255, L'n');
  for (int i = 0; i < 10; ++i) {
    Create(Row + L"\\" + std::to_wstring(i) + name.substr(1));
  }
  Expect(Delete(Row, "255-character names") == 1, "not deleted");
  Expect(!Exists(Row), "the row is still there");

  Create(Row + L"\\" + name + L"\\" + name);  // 575 characters
  Expect(Delete(Row, "255-character names, too deep") == 0, "result was 1");
  Expect(Exists(Row + L"\\" + name + L"\\" + name), "the deep key went");
}

void Racing(const wchar_t* self) {
  Create(Row);
  for (int i = 0; i < 5000; ++i) {
    Create(Row + L"\\Leaf" + std::to_wstring(i));
  }
  std::wstring command = std::wstring(L"\"") + self + L"\" adder";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION adder = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &adder)) {
    printf("FAIL: cannot start the adder\n");
    exit(2);
  }
  Sleep(200);
  const int result = Delete(Row, "racing");
  Expect(result == 0 || result == 1, "result");
  WaitForSingleObject(adder.hProcess, INFINITE);
  CloseHandle(adder.hThread);
  CloseHandle(adder.hProcess);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, Row.c_str());
}

std::wstring Numbered(const wchar_t* prefix, int i) {
  wchar_t name[16];
  swprintf(name, 16, L"%ls%03d", prefix, i);
  return name;
}

// False when the walk got there first: a link without its target yet is a
// key like any other to it, and it may delete it before the target is set.
bool CreateLink(const std::wstring& path, const std::wstring& target) {
  HKEY key = nullptr;
  const std::wstring native = L"\\Registry\\Machine\\" + target;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                      REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool linked =
      RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                     reinterpret_cast<const BYTE*>(native.c_str()),
                     static_cast<DWORD>(native.size() * 2)) == ERROR_SUCCESS;
  RegCloseKey(key);
  return linked;
}

// Opens the key at `path` itself, for deletion by handle: ready before the
// walk starts, so that a swap costs the writer as few calls as it can.
HKEY OpenToDelete(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK,
                    DELETE | KEY_READ, &key) != ERROR_SUCCESS) {
    printf("FAIL: cannot open %ls\n", path.c_str());
    exit(2);
  }
  return key;
}

// Another writer, as fast as the registry lets it: finds the first P key the
// walk has not deleted yet (the one it is in, or about to enter), deletes its
// subkey Q and then the key itself through handles opened beforehand, and
// puts a link to the victim in its place. The walk may be between listing Q
// and opening it.
int SwapWhileWalking(const std::atomic<bool>& walking,
                     const std::vector<std::pair<HKEY, HKEY>>& keys) {
  int swaps = 0;
  for (size_t i = 0; i < keys.size() && walking; ++i) {
    const std::wstring path = Row + L"\\" + Numbered(L"P", static_cast<int>(i));
    if (Exists(path) && NtDeleteKey(keys[i].second) == STATUS_SUCCESS &&
        NtDeleteKey(keys[i].first) == STATUS_SUCCESS &&
        CreateLink(path, Victim)) {
      ++swaps;
    }
  }
  return swaps;
}

struct Writer {
  std::atomic<bool> walking;
  std::vector<std::pair<HKEY, HKEY>> keys;  // each P and its Q
  int swaps;
  static DWORD WINAPI Run(void* self) {
    Writer& w = *static_cast<Writer*>(self);
    w.swaps = SwapWhileWalking(w.walking, w.keys);
    return 0;
  }
};

//  Row
//  +- P000 .. P049      each with a subkey Q
//  Victim
//  +- Q                 the name the walk asks for below a P
void SwapRounds(int rounds) {
  constexpr int Keys = 50;
  Create(Victim + L"\\Q");
  int swaps = 0;
  int zeros = 0;
  for (int round = 0; round < rounds; ++round) {
    Writer writer{{true}, {}, 0};
    for (int i = 0; i < Keys; ++i) {
      const std::wstring key = Row + L"\\" + Numbered(L"P", i);
      Create(key + L"\\Q");
      writer.keys.emplace_back(OpenToDelete(key), OpenToDelete(key + L"\\Q"));
    }
    HANDLE thread = CreateThread(nullptr, 0, &Writer::Run, &writer, 0, nullptr);
    if (thread == nullptr) {
      printf("FAIL: cannot start the writer\n");
      exit(2);
    }
    KeyPathBuffer buffer;
    CopyKeyPath(buffer, Row.c_str());
    zeros += DeleteKeyTree(buffer) == 0 ? 1 : 0;
    writer.walking = false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    swaps += writer.swaps;
    for (const auto& [key, subkey] : writer.keys) {
      RegCloseKey(subkey);
      RegCloseKey(key);
    }
    // What the swaps left (links among them) goes with a quiet second walk.
    CopyKeyPath(buffer, Row.c_str());
    Expect(DeleteKeyTree(buffer) == 1, "the second walk left the row");
    Expect(Exists(Victim + L"\\Q"), "a key of the victim tree was deleted");
  }
  printf("swapping writer: %d rounds, %d swaps, %d walks stopped by one\n",
         rounds, swaps, zeros);
  Expect(swaps > 0, "the writer never swapped");
}

// The registry takes the path with its backslash; the walk does not double
// it and takes it away with the subkeys.
void Trailing() {
  Create(Row + L"\\a\\b");
  Create(Row + L"\\c");
  Expect(Delete(Row + L"\\", "trailing backslash", Row) == 1, "not deleted");
  Expect(!Exists(Row), "the row is still there");
  Create(Row);
  Expect(Delete(Row + L"\\", "trailing backslash, leaf") == 1, "not deleted");
  Expect(!Exists(Row), "the leaf row is still there");
}

// The other process: adds subkeys under the row while it exists, a few
// thousand at most.
void Adder() {
  for (int i = 0; i < 3000; ++i) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Row.c_str(), 0, KEY_CREATE_SUB_KEY,
                      &key) != ERROR_SUCCESS) {
      return;
    }
    HKEY added = nullptr;
    const std::wstring name = L"Added" + std::to_wstring(i);
    if (RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &added, nullptr) == ERROR_SUCCESS) {
      RegCloseKey(added);
    }
    RegCloseKey(key);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"adder") {
    Adder();
    return 0;
  }
  // Start from a clean row, whatever an earlier mode left.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, Row.c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, Row.c_str());
  for (const std::wstring& key : Neighbours) {
    Create(key);
  }
  if (mode == L"wide" && argc > 2) {
    Wide(_wtoi(argv[2]));
  } else if (mode == L"deep") {
    Deep();
  } else if (mode == L"long") {
    Long();
  } else if (mode == L"racing") {
    Racing(argv[0]);
    SwapRounds(200);
  } else if (mode == L"trailing") {
    Trailing();
  } else {
    printf("usage: registry_stress wide N | deep | long | racing | trailing\n");
    return 2;
  }
  for (const std::wstring& key : Neighbours) {
    Expect(Exists(key), "a key beside the row was deleted");
  }
  printf("%s\n", failures == 0 ? "stress: passed" : "stress: FAILED");
  return failures == 0 ? 0 : 1;
}
