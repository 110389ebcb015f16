// Test helper run under Wine: seeds and inspects the registry and Windows
// Installer state. Reads one command a line from the file named by its
// argument, fields separated by tabs, and prints one answer per query:
//   key    ROOT\path                 create the key (and its parents)
//   value  ROOT\path  name  data     set a string value
//   link   ROOT\path  ROOT\target    create a registry link to target
//   query  ROOT\path                 "present" or "absent" (links not followed)
//   get    ROOT\path  name           the string value, or "<none>"
//   product {code}                   Windows Installer's state of the product
//   delete ROOT\path                 delete the key with its subkeys, links as
//                                    links (never their targets); absent: done
//   prune  ROOT\path                 delete the key if it is absent of
//                                    subkeys and values, else leave it
// ROOT is HKLM or HKCU.
#include <windows.h>
// After windows.h, which they build on.
#include <msi.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/ntdll.h"

namespace {

std::wstring Widen(const std::string& text) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
  wide.resize(wide.size() - 1);
  return wide;
}

struct Path {
  HKEY root;
  std::wstring rest;
  std::wstring native;  // the form a link's target takes
};

Path Parse(const std::string& text) {
  const std::wstring wide = Widen(text);
  const size_t slash = wide.find(L'\\');
  const std::wstring root = wide.substr(0, slash);
  const std::wstring rest = wide.substr(slash + 1);
  if (root == L"HKLM") {
    return {HKEY_LOCAL_MACHINE, rest, L"\\Registry\\Machine\\" + rest};
  }
  if (root == L"HKCU") {
    return {HKEY_CURRENT_USER, rest, L""};
  }
  fprintf(stderr, "regtool: unknown root in %s\n", text.c_str());
  exit(2);
}

void Check(LSTATUS status, const std::string& what) {
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "regtool: %s failed with %ld\n", what.c_str(), status);
    exit(2);
  }
}

HKEY Create(const Path& path, DWORD options, REGSAM access) {
  HKEY key = nullptr;
  Check(RegCreateKeyExW(path.root, path.rest.c_str(), 0, nullptr, options,
                        access, nullptr, &key, nullptr),
        "create");
  return key;
}

// Deletes `name` below `parent` with its subtree, each key through a handle
// opened on it as itself, so a link goes as a link.
void DeleteTree(HKEY parent, const std::wstring& name) {
  HKEY key = nullptr;
  const LSTATUS status = RegOpenKeyExW(
      parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE, &key);
  if (status == ERROR_FILE_NOT_FOUND) {
    return;
  }
  Check(status, "open for deletion");
  wchar_t sub[256];
  DWORD size = 256;
  std::wstring last;
  while (RegEnumKeyExW(key, 0, sub, &size, nullptr, nullptr, nullptr,
                       nullptr) == ERROR_SUCCESS) {
    // The same subkey listed first again did not go: stop, never loop.
    if (last == sub) {
      fprintf(stderr, "regtool: cannot delete %ls\\%ls\n", name.c_str(), sub);
      exit(2);
    }
    last = sub;
    DeleteTree(key, sub);
    size = 256;
  }
  if (NtDeleteKey(key) != STATUS_SUCCESS) {
    fprintf(stderr, "regtool: cannot delete %ls\n", name.c_str());
    exit(2);
  }
  RegCloseKey(key);
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) {
      return fields;
    }
    start = tab + 1;
  }
}

void Run(const std::vector<std::string>& f) {
  const std::string& verb = f[0];
  if (verb == "key") {
    RegCloseKey(Create(Parse(f[1]), 0, KEY_ALL_ACCESS));
  } else if (verb == "value") {
    HKEY key = Create(Parse(f[1]), 0, KEY_ALL_ACCESS);
    const std::wstring data = Widen(f[3]);
    Check(RegSetValueExW(key, Widen(f[2]).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>((data.size() + 1) * 2)),
          "set value");
    RegCloseKey(key);
  } else if (verb == "link") {
    HKEY key = Create(Parse(f[1]), REG_OPTION_CREATE_LINK,
                      KEY_ALL_ACCESS | KEY_CREATE_LINK);
    const std::wstring target = Parse(f[2]).native;
    Check(RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                         reinterpret_cast<const BYTE*>(target.c_str()),
                         static_cast<DWORD>(target.size() * 2)),
          "set link");
    RegCloseKey(key);
  } else if (verb == "query") {
    const Path path = Parse(f[1]);
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(path.root, path.rest.c_str(),
                                         REG_OPTION_OPEN_LINK, KEY_READ, &key);
    printf("%s\n", status == ERROR_SUCCESS ? "present" : "absent");
    if (status == ERROR_SUCCESS) {
      RegCloseKey(key);
    }
  } else if (verb == "get") {
    const Path path = Parse(f[1]);
    wchar_t data[1024];
    DWORD size = sizeof data;
    const LSTATUS status =
        RegGetValueW(path.root, path.rest.c_str(), Widen(f[2]).c_str(),
                     RRF_RT_REG_SZ, nullptr, data, &size);
    printf("%ls\n", status == ERROR_SUCCESS ? data : L"<none>");
  } else if (verb == "product") {
    printf("%d\n",
           static_cast<int>(MsiQueryProductStateW(Widen(f[1]).c_str())));
  } else if (verb == "delete") {
    const Path path = Parse(f[1]);
    DeleteTree(path.root, path.rest);
  } else if (verb == "prune") {
    const Path path = Parse(f[1]);
    HKEY key = nullptr;
    if (RegOpenKeyExW(path.root, path.rest.c_str(), REG_OPTION_OPEN_LINK,
                      KEY_READ | DELETE, &key) == ERROR_SUCCESS) {
      DWORD subkeys = 1;
      DWORD values = 1;
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                       nullptr, &values, nullptr, nullptr, nullptr, nullptr);
      if (subkeys == 0 && values == 0) {
        NtDeleteKey(key);
      }
      RegCloseKey(key);
    }
  } else {
    fprintf(stderr, "regtool: unknown command %s\n", verb.c_str());
    exit(2);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: regtool COMMAND-FILE\n");
    return 2;
  }
  FILE* file = _wfopen(argv[1], L"rb");
  if (file == nullptr) {
    fprintf(stderr, "regtool: cannot read %ls\n", argv[1]);
    return 2;
  }
  char line[4096];
  while (fgets(line, sizeof line, file) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.pop_back();
    }
    if (!text.empty()) {
      Run(Split(text));
    }
  }
  fclose(file);
  return 0;
}
