#include "uninstall/uninstall_msi_product.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "cleanup/cleanup_data.h"
#include "uninstall/command_line.h"
#include "uninstall/run_when_installer_free.h"

namespace {

constexpr size_t WideCommandCapacity = 1024;
constexpr size_t NarrowCommandCapacity = 255;

// Windows Installer by its full path: a bare "msiexec" would be looked for in
// the current folder first. As with the deployment installer, the command
// interpreter removes the outer pair of quotes and the program path stays
// quoted.
constexpr const wchar_t* LeadingQuotes = L"\"\"";
constexpr const wchar_t* ProgramPiece = L"\\msiexec.exe\" /X";
// With no user interface and no restart option, Windows Installer restarts
// the machine unprompted whenever the removal needs it, before msiexec
// returns: the registry stage would never run and users would lose their
// work. /norestart (REBOOT=ReallySuppress) leaves the restart to the
// administrator; msiexec then answers 3010 and the removal completes at the
// next start.
constexpr const wchar_t* OptionsPiece = L" /q /norestart\"";

}  // namespace

void UninstallMsiProduct() {
  wchar_t folder[SystemFolderCapacity];
  if (!GetSystemFolder(folder)) {
    return;
  }
  wchar_t wide[WideCommandCapacity];
  if (wcscpy_s(wide, WideCommandCapacity, LeadingQuotes) != 0 ||
      wcsncat_s(wide, WideCommandCapacity, folder, WideCommandCapacity) != 0 ||
      wcsncat_s(wide, WideCommandCapacity, ProgramPiece, WideCommandCapacity) !=
          0 ||
      wcsncat_s(wide, WideCommandCapacity, MsiProductCode,
                WideCommandCapacity) != 0 ||
      wcsncat_s(wide, WideCommandCapacity, OptionsPiece, WideCommandCapacity) !=
          0) {
    return;
  }

  char* narrow = static_cast<char*>(malloc(NarrowCommandCapacity));
  if (narrow == nullptr) {
    return;
  }
  const int length = snprintf(narrow, NarrowCommandCapacity, "%ls", wide);
  // Only a whole command is run: never a cut or failed conversion.
  if (length > 0 && static_cast<size_t>(length) < NarrowCommandCapacity) {
    RunWhenInstallerFree(narrow);
  }
  free(narrow);
}
