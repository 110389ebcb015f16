#include "cleanup/run_cleanup.h"

#include <stdio.h>

#include "cleanup/cleanup_data.h"
#include "registry/delete_key_tree.h"
#include "registry/key_path_buffer.h"
#include "uninstall/command_line.h"
#include "uninstall/uninstall_bundle.h"
#include "uninstall/uninstall_msi_product.h"

int RunCleanup() {
  printf("Please wait while product cleanup completes...\n");
  // The uninstallers write straight to the inherited output: when it is a
  // file or a pipe, the message must leave our buffer before they start.
  fflush(stdout);

  // Results are ignored throughout: no stage depends on another, a failed
  // stage or row never stops the next, and the exit status stays 0. The
  // one exception: unless the system folder's interpreter is pinned and the
  // system folder is the current folder, no command is run at all.
  if (PinCommandInterpreter()) {
    for (const char* bundleId : BundleIds) {
      UninstallBundle(bundleId);
    }
    UninstallMsiProduct();
  }

  KeyPathBuffer path;
  for (const wchar_t* key : CleanupKeys) {
    CopyKeyPath(path, key);
    DeleteKeyTree(path);
  }
  return 0;
}
