#include "uninstall/uninstall_msi_product.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "cleanup/cleanup_data.h"

namespace {

constexpr size_t WideCommandCapacity = 1024;
constexpr size_t NarrowCommandCapacity = 255;

}  // namespace

void UninstallMsiProduct() {
  wchar_t wide[WideCommandCapacity];
  if (wcscpy_s(wide, WideCommandCapacity, L"msiexec /X") != 0 ||
      wcsncat_s(wide, WideCommandCapacity, MsiProductCode,
                WideCommandCapacity) != 0 ||
      wcsncat_s(wide, WideCommandCapacity, L" /q", WideCommandCapacity) != 0) {
    return;
  }

  char* narrow = static_cast<char*>(malloc(NarrowCommandCapacity));
  if (narrow == nullptr) {
    return;
  }
  const int length = snprintf(narrow, NarrowCommandCapacity, "%ls", wide);
  // Only a whole command is run: never a cut or failed conversion.
  if (length > 0 && static_cast<size_t>(length) < NarrowCommandCapacity) {
    system(narrow);
  }
  free(narrow);
}
