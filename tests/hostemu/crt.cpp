// The C runtime functions the cleanup uses that the Linux C library lacks or
// that must not act for real in tests. Like Windows' runtime, the bounded
// string functions call the invalid-parameter handler when a result does not
// fit, and its default ends the process.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <wchar.h>

#include <map>

#include "tests/hostemu/controls.h"

namespace {

struct NameLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

struct Crt {
  std::map<std::string, std::string, NameLess> environment;
  std::map<std::string, errno_t, NameLess> failingLookups;
  hostemu::UnsetVariableStyle unsetStyle = hostemu::UnsetVariableStyle::Windows;
  std::vector<std::string> commands;
  std::function<int(const char*)> systemHandler;
};

Crt& State() {
  static Crt crt;
  return crt;
}

[[noreturn]] void InvalidParameter(const char* function) {
  fprintf(stderr, "hostemu: invalid parameter in %s: the process ends\n",
          function);
  abort();
}

template <typename Char>
size_t BoundedLength(const Char* text, size_t size) {
  size_t length = 0;
  while (length < size && text[length] != 0) {
    ++length;
  }
  return length;
}

template <typename Char>
errno_t Append(const char* function, Char* destination, size_t size,
               const Char* source, size_t count) {
  if (destination == nullptr || size == 0 || source == nullptr) {
    InvalidParameter(function);
  }
  const size_t length = BoundedLength(destination, size);
  if (length == size) {
    InvalidParameter(function);
  }
  const size_t add = BoundedLength(source, count);
  if (length + add + 1 > size) {
    destination[0] = 0;
    InvalidParameter(function);
  }
  for (size_t i = 0; i < add; ++i) {
    destination[length + i] = source[i];
  }
  destination[length + add] = 0;
  return 0;
}

}  // namespace

extern "C" {

errno_t _dupenv_s(char** buffer, size_t* size, const char* name) {
  if (buffer == nullptr || name == nullptr) {
    return EINVAL;
  }
  Crt& crt = State();
  auto failing = crt.failingLookups.find(name);
  if (failing != crt.failingLookups.end()) {
    return failing->second;
  }
  auto found = crt.environment.find(name);
  if (found == crt.environment.end()) {
    if (crt.unsetStyle == hostemu::UnsetVariableStyle::Wine) {
      return EINVAL;
    }
    *buffer = nullptr;
    if (size != nullptr) {
      *size = 0;
    }
    return 0;
  }
  *buffer = static_cast<char*>(malloc(found->second.size() + 1));
  if (*buffer == nullptr) {
    return ENOMEM;
  }
  memcpy(*buffer, found->second.c_str(), found->second.size() + 1);
  if (size != nullptr) {
    *size = found->second.size() + 1;
  }
  return 0;
}

errno_t _putenv_s(const char* name, const char* value) {
  if (name == nullptr || value == nullptr || name[0] == '\0') {
    return EINVAL;
  }
  if (value[0] == '\0') {
    State().environment.erase(name);
  } else {
    State().environment[name] = value;
  }
  return 0;
}

errno_t strcat_s(char* destination, size_t size, const char* source) {
  return Append("strcat_s", destination, size, source, static_cast<size_t>(-1));
}

errno_t wcscpy_s(wchar_t* destination, size_t size, const wchar_t* source) {
  if (destination == nullptr || size == 0) {
    InvalidParameter("wcscpy_s");
  }
  destination[0] = 0;
  return Append("wcscpy_s", destination, size, source, static_cast<size_t>(-1));
}

errno_t wcsncat_s(wchar_t* destination, size_t size, const wchar_t* source,
                  size_t count) {
  return Append("wcsncat_s", destination, size, source, count);
}

// Records the command instead of running it.
int system(const char* command) {
  Crt& crt = State();
  if (command == nullptr) {
    return 1;
  }
  crt.commands.emplace_back(command);
  return crt.systemHandler ? crt.systemHandler(command) : 0;
}

}  // extern "C"

namespace hostemu {

void Reset() {
  ResetRegistry();
  ResetKernel();
  State() = Crt{};
  SetEnv("ProgramFiles", "C:\\Program Files");
  SetEnv("ProgramData", "C:\\ProgramData");
  SetEnv("ComSpec", "C:\\Windows\\system32\\cmd.exe");
}

std::optional<std::string> GetEnv(const std::string& name) {
  auto found = State().environment.find(name);
  if (found == State().environment.end()) {
    return std::nullopt;
  }
  return found->second;
}

void SetEnv(const std::string& name, const std::string& value) {
  State().environment[name] = value;
}

void UnsetEnv(const std::string& name) {
  State().environment.erase(name);
}

void FailEnvLookup(const std::string& name, errno_t error) {
  State().failingLookups[name] = error;
}

void SetUnsetVariableStyle(UnsetVariableStyle style) {
  State().unsetStyle = style;
}

const std::vector<std::string>& SystemCommands() {
  return State().commands;
}

void SetSystemHandler(std::function<int(const char*)> handler) {
  State().systemHandler = std::move(handler);
}

}  // namespace hostemu
