#pragma once

#include <windows.h>

// Windows Installer runs one installation at a time: while another process
// holds its "Global\_MSIExecute" mutex, msiexec ends at once with
// ERROR_INSTALL_ALREADY_RUNNING. Waiting is bounded, all of it together.
constexpr ULONGLONG InstallerWaitLimit = 10ULL * 60 * 1000;  // milliseconds
constexpr DWORD InstallerRetryPause = 5 * 1000;              // milliseconds

// Runs `command`, a Windows Installer command line, through the command
// interpreter once no other process holds Windows Installer's mutex, and
// again after a pause for as long as it answers
// ERROR_INSTALL_ALREADY_RUNNING. Once InstallerWaitLimit has passed since
// the call, nothing more is waited for or retried: the command has then been
// started at least once, and its last answer stands. Prints nothing. Returns
// the command interpreter's status of the last start.
int RunWhenInstallerFree(const char* command);
