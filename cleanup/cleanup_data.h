#pragma once

#include <stddef.h>

// Everything the cleanup removes, in the order it is removed. Identifiers are
// braced GUIDs ("{...}") or, in the Windows Installer's own keys, packed GUIDs
// (the same digits reordered, no separators); each row holds the form its key
// uses.

constexpr size_t BundleCount = 2;
constexpr size_t CleanupKeyCount = 61;

// Bundles the deployment installer is asked to uninstall, in order.
extern const char* const BundleIds[BundleCount];

// The Windows Installer product that msiexec is asked to remove.
extern const wchar_t MsiProductCode[];

// Key trees deleted under HKEY_LOCAL_MACHINE, in order: the product's
// Windows Installer patch, product, feature, upgrade and component
// registrations (rows 1 to 29, counting from 1), the vendor's own keys (30
// to 37), the uninstall entries (38 to 46), then more of the vendor's keys
// (47 to 50), patch registrations (51 to 56), the product's registration
// for the system account (57) and uninstall entries (58 to 61).
extern const wchar_t* const CleanupKeys[CleanupKeyCount];
