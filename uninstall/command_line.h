#pragma once

#include <stddef.h>

// Where the commands the cleanup hands to the command interpreter come from
// and what may go into them.

// Whether `value` can stand between double quotes on a command line: a
// double quote would end the quoting early, a percent sign is expanded by
// the command interpreter and a control character can end the line.
bool IsSafeInQuotes(const char* value);
bool IsSafeInQuotes(const wchar_t* value);

constexpr size_t SystemFolderCapacity = 260;

// Asks Windows for its system folder (never the environment, which whoever
// starts the cleanup controls). Returns false, leaving `folder` unspecified,
// when Windows cannot tell or the folder could not stand in quotes on a
// command line.
bool GetSystemFolder(wchar_t (&folder)[SystemFolderCapacity]);

// Readies the ground for every command the cleanup starts: sets "ComSpec",
// for this process and so for its children, to the system folder's cmd.exe
// whatever it held, and makes the system folder the current folder, where
// the interpreter and every program it starts begin. Returns false when
// either could not be done; no command may then be run.
bool PinCommandInterpreter();
