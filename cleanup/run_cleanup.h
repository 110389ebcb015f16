#pragma once

// Removes the product: writes the wait message, asks the deployment
// installer to uninstall each bundle of BundleIds, asks msiexec to remove
// MsiProductCode, then deletes every key tree of CleanupKeys in table order.
// Each stage runs whatever the earlier ones did. Returns the process exit
// status, always 0.
int RunCleanup();
