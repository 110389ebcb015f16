#pragma once

// Removes the product: writes the wait message, asks the deployment
// installer to uninstall each bundle of BundleIds, asks msiexec to remove
// MsiProductCode, then deletes every key tree of CleanupKeys in table order.
// Each stage runs whatever the earlier ones did, with one exception: when
// the command interpreter and the current folder cannot be pinned to the
// system folder, no command is started, and the registry stage still runs.
// Returns the process exit status, always 0.
int RunCleanup();
