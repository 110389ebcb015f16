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
// After windows.h, which it builds on.
#include <winternl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "registry/delete_key_tree.h"

namespace {

const std::wstring Row =
    L"SOFTWARE\\Tarnholt\\Ravon2\\{1A23B247-C9CF-23F5-27AE-6B1FF4BDB52A}";
const std::vector<std::wstring> Neighbours = {
    L"SOFTWARE\\Tarnholt\\Ravon2\\{1A23B247-C9CF-23F5-27AE-6B1FF4BDB52A}-"
    L"Backup",
    L"SOFTWARE\\Tarnholt\\Ravon2\\{1A23B247-C9CF-23F5-27AE-6B1FF4BDB52A}-"
    L"Backup\\Child",
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

void CreateLink(const std::wstring& path, const std::wstring& target) {
  HKEY key = nullptr;
  const std::wstring native = L"\\Registry\\Machine\\" + target;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                      REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK,
                      nullptr, &key, nullptr) != ERROR_SUCCESS ||
      RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                     reinterpret_cast<const BYTE*>(native.c_str()),
                     static_cast<DWORD>(native.size() * 2)) != ERROR_SUCCESS) {
    printf("FAIL: cannot create the link %ls\n", path.c_str());
    exit(2);
  }
  RegCloseKey(key);
}

extern "C" LONG NTAPI NtRenameKey(HANDLE key, UNICODE_STRING* name);

// Renames the key `from` below the row, itself (a link is not followed).
bool Rename(const std::wstring& from, const std::wstring& to) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (Row + L"\\" + from).c_str(),
                    REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS,
                    &key) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring name = to;
  UNICODE_STRING native{static_cast<USHORT>(name.size() * 2),
                        static_cast<USHORT>(name.size() * 2), name.data()};
  const bool renamed = NtRenameKey(key, &native) == 0;
  RegCloseKey(key);
  return renamed;
}

// Another writer, as fast as the registry lets it: finds the first P key the
// walk has not deleted yet (the one it is in, or about to enter), renames it
// away and renames a link to the victim into its place. The walk may be
// between listing a subkey of P and opening it.
int SwapWhileWalking(const std::atomic<bool>& walking, int keys) {
  int swaps = 0;
  for (int i = 0; i < keys && walking; ++i) {
    const std::wstring name = Numbered(L"P", i);
    if (Exists(Row + L"\\" + name) && Rename(name, Numbered(L"X", i)) &&
        Rename(Numbered(L"Z", i), name)) {
      ++swaps;
    }
  }
  return swaps;
}

struct Writer {
  std::atomic<bool> walking;
  int keys;
  int swaps;
  static DWORD WINAPI Run(void* self) {
    Writer& w = *static_cast<Writer*>(self);
    w.swaps = SwapWhileWalking(w.walking, w.keys);
    return 0;
  }
};

//  Row
//  +- P000 .. P049      each with subkeys Q and R
//  +- Z000 .. Z049      links to Victim, waiting to be renamed in
//  Victim
//  +- Q, R              the names the walk asks for below a P
void SwapRounds(int rounds) {
  constexpr int Keys = 50;
  for (const wchar_t* name : {L"Q", L"R"}) {
    Create(Victim + L"\\" + name);
  }
  int swaps = 0;
  int zeros = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < Keys; ++i) {
      Create(Row + L"\\" + Numbered(L"P", i) + L"\\Q");
      Create(Row + L"\\" + Numbered(L"P", i) + L"\\R");
      CreateLink(Row + L"\\" + Numbered(L"Z", i), Victim);
    }
    Writer writer{{true}, Keys, 0};
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
    // What the swaps left (links among them) goes with a quiet second walk.
    CopyKeyPath(buffer, Row.c_str());
    Expect(DeleteKeyTree(buffer) == 1, "the second walk left the row");
    Expect(Exists(Victim + L"\\Q") && Exists(Victim + L"\\R"),
           "a key of the victim tree was deleted");
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
