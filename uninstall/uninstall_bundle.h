#pragma once

// Runs the vendor's deployment installer in silent uninstall mode for the
// bundle `bundleId` (a braced GUID) and waits for it to end. The installer is
// looked for under the "ProgramFiles" folder and the bundle's manifest under
// the "ProgramData" folder.
//
// Returns the command interpreter's status; the nonzero code of a failed
// environment lookup; 0 when either variable is not set; EINVAL when a
// folder holds a character that cannot be passed safely through the command
// interpreter (a double quote, a percent sign or a control character); ERANGE
// when the command line would not fit. Nothing is started in the last four
// cases.
int UninstallBundle(const char* bundleId);
