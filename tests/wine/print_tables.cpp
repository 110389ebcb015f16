// Prints the cleanup's own tables for the Wine driver, one entry a line,
// fields separated by tabs:
//   bundle   N  {braced GUID}       BundleIds, N from 1
//   product     {braced GUID}       MsiProductCode
//   row      N  path                CleanupKeys, N from 1
#include <stdio.h>

#include "cleanup/cleanup_data.h"

int wmain() {
  for (size_t i = 0; i < BundleCount; ++i) {
    printf("bundle\t%d\t%s\n", static_cast<int>(i + 1), BundleIds[i]);
  }
  printf("product\t%ls\n", MsiProductCode);
  for (size_t i = 0; i < CleanupKeyCount; ++i) {
    printf("row\t%d\t%ls\n", static_cast<int>(i + 1), CleanupKeys[i]);
  }
  return 0;
}
