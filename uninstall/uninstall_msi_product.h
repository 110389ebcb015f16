#pragma once

// Asks Windows Installer to remove the product MsiProductCode with no user
// interface and waits for it to end: runs the system folder's msiexec.exe,
// by its full path, with "/X{code} /q /norestart", once Windows Installer is
// free (see RunWhenInstallerFree). Never restarts the machine: a removal that
// needs a restart answers 3010 and completes at the next one. Its status is
// not used otherwise: a product that is not installed is not an error here.
// Starts nothing when Windows cannot tell its system folder, when the folder
// holds a double quote, a percent sign or a control character, or when the
// command would not fit 254 narrow characters.
void UninstallMsiProduct();
