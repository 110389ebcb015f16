#include "cleanup/run_cleanup.h"

// Arguments are not read: the cleanup is fixed.
int main() {
  return RunCleanup();
}
