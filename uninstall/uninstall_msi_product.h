#pragma once

// Asks Windows Installer to remove the product MsiProductCode with no user
// interface ("msiexec /X{code} /q") and waits for msiexec to end. Its status
// is not used: a product that is not installed is not an error here.
void UninstallMsiProduct();
