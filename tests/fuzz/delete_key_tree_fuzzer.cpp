// Fuzzes DeleteKeyTree against hostile registries built from the input:
// random trees with long, mixed-case and non-ASCII names, keys that refuse
// opening, reading or deletion, subkeys that are listed but cannot be
// opened, links pointing inside or outside the tree or nowhere, paths of
// every shape around the buffer's limits, and another writer that, at one
// registry call of the walk, replaces a key of the tree by a link. After each
// call it checks what must always hold, and that a tree no fault touches is
// deleted whole; a violation ends the run.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "registry/delete_key_tree.h"
#include "tests/hostemu/controls.h"

namespace {

constexpr wchar_t Alphabet[] = L"aAbBzZ09-{}.\u00e9\u00c9\u00df\u4e2d";

std::wstring Name(FuzzedDataProvider& data) {
  const size_t length = data.ConsumeBool()
                            ? data.ConsumeIntegralInRange<size_t>(1, 4)
                            : data.ConsumeIntegralInRange<size_t>(1, 255);
  std::wstring name;
  for (size_t i = 0; i < length; ++i) {
    name += Alphabet[data.ConsumeIntegralInRange<size_t>(
        0, sizeof Alphabet / sizeof Alphabet[0] - 2)];
  }
  return name;
}

const std::wstring& Pick(FuzzedDataProvider& data,
                         const std::vector<std::wstring>& from) {
  return from[data.ConsumeIntegralInRange<size_t>(0, from.size() - 1)];
}

void Violation(const char* what, const std::wstring& path) {
  fprintf(stderr, "violated: %s (path '%ls')\n", what, path.c_str());
  abort();
}

bool Inside(const std::wstring& key, const std::wstring& tree) {
  return key == tree || key.rfind(tree + L"\\", 0) == 0;
}

// Console output goes to a pipe so that messages can be counted.
int OutputPipe() {
  static int readEnd = [] {
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
      abort();
    }
    return ends[0];
  }();
  return readEnd;
}

std::string TakeOutput() {
  fflush(stdout);
  std::string text;
  char chunk[256];
  for (;;) {
    // Non-blocking read of what is there: an empty write end has nothing.
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(OutputPipe(), &ready);
    timeval none{0, 0};
    if (select(OutputPipe() + 1, &ready, nullptr, nullptr, &none) <= 0) {
      return text;
    }
    const ssize_t n = read(OutputPipe(), chunk, sizeof chunk);
    if (n <= 0) {
      return text;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  hostemu::ResetRegistry();
  OutputPipe();

  std::vector<std::wstring> keys{L"R"};
  std::vector<std::wstring> faulty;  // keys denied access or given phantoms
  hostemu::CreateKey(L"R");
  const size_t steps = data.ConsumeIntegralInRange<size_t>(0, 64);
  for (size_t i = 0; i < steps && data.remaining_bytes() > 0; ++i) {
    const std::wstring& at = Pick(data, keys);
    switch (data.ConsumeIntegralInRange<int>(0, 8)) {
      case 0:
      case 1: {
        const std::wstring path = at + L"\\" + Name(data);
        if (path.size() < 1000 && !hostemu::KeyExists(path)) {
          hostemu::CreateKey(path);
          keys.push_back(path);
        }
        break;
      }
      case 2: {
        const std::wstring path = at + L"\\" + Name(data);
        const std::wstring target =
            data.ConsumeBool() ? Pick(data, keys) : L"Nowhere\\" + Name(data);
        if (!hostemu::KeyExists(path)) {
          hostemu::CreateLink(path, target);
        }
        break;
      }
      case 3:
        hostemu::DenyAccess(at, hostemu::DenyEverything);
        faulty.push_back(at);
        break;
      case 4:
        hostemu::DenyAccess(at, data.ConsumeBool() ? DELETE : KEY_READ);
        faulty.push_back(at);
        break;
      case 5:
        hostemu::AddPhantomSubkey(at, Name(data));
        faulty.push_back(at);
        break;
      case 6: {
        // A key whose path ends right around the buffer's limit.
        const size_t length = data.ConsumeIntegralInRange<size_t>(510, 522);
        std::wstring path = at;
        while (path.size() + 2 <= length) {
          const size_t part = std::min<size_t>(255, length - path.size() - 1);
          path += L"\\" + std::wstring(part, Alphabet[path.size() % 6]);
        }
        if (!hostemu::KeyExists(path)) {
          hostemu::CreateKey(path);
          keys.push_back(path);
        }
        break;
      }
      default:
        hostemu::SetValue(at, L"v", Name(data));
        break;
    }
  }

  std::wstring path;
  switch (data.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      path = Pick(data, keys) + L"\\";
      break;
    case 1:
      path = data.ConsumeBool() ? L"" : L"\\" + Pick(data, keys);
      break;
    case 2:
      path = Pick(data, keys) + L"\\" + Name(data);
      break;
    default:
      path = Pick(data, keys);
      break;
  }

  const bool fits = path.size() <= KeyPathMaxLength;
  const bool refused = path.empty() || !fits;
  // What must survive: every key outside the named tree, with its value.
  // A path with a leading backslash names none: the registry refuses it.
  const std::optional<std::wstring> named =
      refused || path[0] == L'\\' ? std::nullopt : hostemu::CanonicalPath(path);
  std::map<std::wstring, std::optional<std::wstring>> outside;
  for (const std::wstring& key : hostemu::AllKeys()) {
    if (!named || !Inside(key, *named)) {
      outside[key] = hostemu::GetValue(key, L"v");
    }
  }

  // Completeness: with no fault in the named tree, the walk must delete it
  // whole. Every key below it must fit the buffer as the walk spells it.
  const std::wstring trimmed = !path.empty() && path.back() == L'\\'
                                   ? path.substr(0, path.size() - 1)
                                   : path;
  bool faultFree = named.has_value();
  for (const std::wstring& key : hostemu::AllKeys()) {
    if (named && Inside(key, *named) &&
        trimmed.size() + key.size() - named->size() > KeyPathMaxLength) {
      faultFree = false;
    }
  }
  for (const std::wstring& key : faulty) {
    faultFree = faultFree && !(named && Inside(key, *named));
  }

  // Another writer: before registry call `raceCall` (0: none), a key of the
  // named tree is deleted with its subtree and a link to `raceTarget` put in
  // its place.
  const size_t raceCall = data.ConsumeIntegralInRange<size_t>(0, 64);
  const size_t raceChoice = data.ConsumeIntegral<uint8_t>();
  const std::wstring raceTarget =
      data.ConsumeBool() ? Pick(data, keys) : L"Nowhere";
  bool raced = false;
  bool namedSwapped = false;
  if (raceCall > 0 && named) {
    hostemu::SetBeforeRegistryCall([&] {
      if (hostemu::Calls().Total() != raceCall) {
        return;
      }
      std::vector<std::wstring> inside;
      for (const std::wstring& key : hostemu::AllKeys()) {
        if (Inside(key, *named)) {
          inside.push_back(key);
        }
      }
      if (!inside.empty()) {
        const std::wstring& swapped = inside[raceChoice % inside.size()];
        namedSwapped = swapped == *named;
        hostemu::ReplaceWithLink(swapped, raceTarget);
        raced = true;
      }
    });
  }

  // On the heap, exactly the buffer's size: a write past it is caught.
  struct Holder {
    KeyPathBuffer path;
  };
  const auto holder = std::make_unique<Holder>();
  KeyPathBuffer& buffer = holder->path;
  if (fits) {
    CopyKeyPath(buffer, path.c_str());
  } else {
    for (wchar_t& c : buffer) {
      c = L'R';
    }
  }
  hostemu::SetRegistryCallLimit(64 * (keys.size() + 8));
  const int result = DeleteKeyTree(buffer);
  hostemu::SetBeforeRegistryCall(nullptr);
  const std::string output = TakeOutput();

  const std::wstring after(buffer, KeyPathLength(buffer));
  if (fits) {
    if (after != path && after != trimmed) {
      Violation("the buffer holds another path on return", path);
    }
  }
  if (result != 0 && result != 1) {
    Violation("result is neither 0 nor 1", path);
  }
  // A named key swapped for a link is gone; the link is the other writer's.
  if (result == 1 && named && !namedSwapped && hostemu::KeyExists(*named)) {
    Violation("1 returned but the key still exists", path);
  }
  if (result == 0 && !refused && named && !hostemu::KeyExists(*named)) {
    Violation("0 returned but the key is gone", path);
  }
  if (faultFree && !raced && (result != 1 || hostemu::KeyExists(*named))) {
    Violation("a tree without faults was not deleted whole", path);
  }
  if (refused && (result != 0 || hostemu::Calls().Total() != 0)) {
    Violation("a refused path reached the registry", path);
  }
  const char message[] = "Error opening key.\n";
  size_t messages = 0;
  for (size_t at = output.find(message); at != std::string::npos;
       at = output.find(message, at + 1)) {
    ++messages;
  }
  if (messages > 1 || output.size() != messages * strlen(message)) {
    Violation("more than one message, or other output", path);
  }
  for (const auto& [key, value] : outside) {
    if (!hostemu::KeyExists(key) || hostemu::GetValue(key, L"v") != value) {
      Violation("a key outside the named tree changed", key);
    }
  }
  if (hostemu::OpenHandleCount() != 0) {
    Violation("registry handles left open", path);
  }
  return 0;
}
