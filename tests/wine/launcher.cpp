// Runs a program under a changed environment, as a deployment tool might
// start the cleanup: launcher [NAME=VALUE | -NAME]... -- PROGRAM [ARG]...
// NAME=VALUE sets a variable, -NAME removes it. Waits for the program and
// exits with its status.
#include <stdio.h>
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  int i = 1;
  for (; i < argc && wcscmp(argv[i], L"--") != 0; ++i) {
    const std::wstring setting = argv[i];
    if (setting[0] == L'-') {
      SetEnvironmentVariableW(setting.c_str() + 1, nullptr);
    } else {
      const size_t equals = setting.find(L'=');
      SetEnvironmentVariableW(setting.substr(0, equals).c_str(),
                              setting.c_str() + equals + 1);
    }
  }
  if (i + 1 >= argc) {
    fwprintf(stderr, L"usage: launcher [NAME=VALUE | -NAME]... -- PROGRAM\n");
    return 2;
  }
  std::wstring command;
  for (int j = i + 1; j < argc; ++j) {
    command += (j > i + 1 ? L" \"" : L"\"") + std::wstring(argv[j]) + L"\"";
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    fwprintf(stderr, L"launcher: cannot start %ls\n", command.c_str());
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
