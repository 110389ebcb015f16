#include "uninstall/uninstall_msi_product.h"

#include "host_test.h"

namespace {

using UninstallMsiProductTest = HostTest;

TEST_F(UninstallMsiProductTest, RunsMsiexecQuietlyForTheProduct) {
  UninstallMsiProduct();
  ASSERT_EQ(hostemu::SystemCommands().size(), 1u);
  const std::string command = hostemu::SystemCommands()[0];
  EXPECT_EQ(command, "msiexec /X{343C5F9C-35D1-BF4B-204B-BF246FA1A19C} /q");
  EXPECT_EQ(command.size(), 51u);
}

}  // namespace
