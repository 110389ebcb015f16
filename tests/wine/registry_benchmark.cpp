// Times the program's DeleteKeyTree against the platform's own
// RegDeleteTreeW on identical trees, in one process, alternating which goes
// first, over several rounds:
//   registry_benchmark [KEYS...]     (default 1000 10000 100000)
// Each tree is ten-ary: every key has up to ten subkeys, filled breadth
// first, so nine keys in ten are leaves. Prints the median times, their
// ratio and keys per second.
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "registry/delete_key_tree.h"

namespace {

const std::wstring Base = L"SOFTWARE\\CleanupBenchmark";

void Build(const std::wstring& root, int count) {
  std::vector<HKEY> keys;
  HKEY top = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &top, nullptr);
  keys.push_back(top);
  for (int made = 1, parent = 0; made < count; ++parent) {
    for (int child = 0; child < 10 && made < count; ++child, ++made) {
      HKEY key = nullptr;
      RegCreateKeyExW(keys[static_cast<size_t>(parent)],
                      (L"k" + std::to_wstring(child)).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
      keys.push_back(key);
    }
  }
  for (HKEY key : keys) {
    RegCloseKey(key);
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since)
      .count();
}

double TimeOurs(const std::wstring& root) {
  KeyPathBuffer path;
  CopyKeyPath(path, root.c_str());
  const auto start = std::chrono::steady_clock::now();
  const int result = DeleteKeyTree(path);
  const double took = Seconds(start);
  if (result != 1) {
    printf("DeleteKeyTree failed on %ls\n", root.c_str());
    exit(1);
  }
  return took;
}

double TimePlatform(const std::wstring& root) {
  const auto start = std::chrono::steady_clock::now();
  const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
  const double took = Seconds(start);
  HKEY left = nullptr;
  if (status != ERROR_SUCCESS ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_READ, &left) !=
          ERROR_FILE_NOT_FOUND) {
    printf("RegDeleteTreeW failed on %ls\n", root.c_str());
    exit(1);
  }
  return took;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) {
    sizes.push_back(_wtoi(argv[i]));
  }
  if (sizes.empty()) {
    sizes = {1000, 10000, 100000};
  }
  printf("%8s %6s %12s %12s %7s %12s\n", "keys", "rounds", "ours (s)",
         "platform (s)", "ratio", "ours keys/s");
  for (int count : sizes) {
    const int rounds = 5;
    std::vector<double> ours;
    std::vector<double> platform;
    for (int round = 0; round < rounds; ++round) {
      const std::wstring a = Base + L"\\A";
      const std::wstring b = Base + L"\\B";
      Build(a, count);
      Build(b, count);
      if (round % 2 == 0) {
        ours.push_back(TimeOurs(a));
        platform.push_back(TimePlatform(b));
      } else {
        platform.push_back(TimePlatform(b));
        ours.push_back(TimeOurs(a));
      }
    }
    const double o = Median(ours);
    const double p = Median(platform);
    printf("%8d %6d %12.4f %12.4f %7.2f %12.0f\n", count, rounds, o, p, o / p,
           count / o);
    fflush(stdout);  // each size as soon as it is measured
  }
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, Base.c_str());
  return 0;
}
