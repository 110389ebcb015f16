#include "uninstall/uninstall_msi_product.h"

#include "cleanup/cleanup_data.h"
#include "cleanup/run_cleanup.h"
#include "host_test.h"

namespace {

using UninstallMsiProductTest = HostTest;

TEST_F(UninstallMsiProductTest, RunsTheSystemFoldersMsiexecQuietly) {
  UninstallMsiProduct();
  hostemu::SetSystemDirectory(L"D:\\Win Dows\\system32");
  UninstallMsiProduct();
  EXPECT_EQ(hostemu::SystemCommands(),
            (std::vector<std::string>{
                "\"\"C:\\Windows\\system32\\msiexec.exe\" "
                "/X{343C5F9C-35D1-BF4B-204B-BF246FA1A19C} /q\"",
                "\"\"D:\\Win Dows\\system32\\msiexec.exe\" "
                "/X{343C5F9C-35D1-BF4B-204B-BF246FA1A19C} /q\""}));
}

TEST_F(UninstallMsiProductTest, NoUsableSystemFolderStartsNothingAndGoesOn) {
  for (const std::optional<std::wstring>& folder :
       {std::optional<std::wstring>{}, std::optional<std::wstring>{L""},
        std::optional<std::wstring>{L"C:\\Win\"dows"},
        std::optional<std::wstring>{L"C:\\%WINDIR%"},
        std::optional<std::wstring>{L"C:\\" + std::wstring(300, L'w')}}) {
    SCOPED_TRACE(testing::Message() << "folder " << folder.value_or(L"-"));
    hostemu::Reset();
    hostemu::SetSystemDirectory(folder);
    hostemu::CreateKey(CleanupKeys[0]);
    Output([] { RunCleanup(); });
    // The bundles ran (their interpreter is named by ComSpec), then the
    // registry stage.
    EXPECT_EQ(hostemu::SystemCommands().size(), 2u);
    EXPECT_FALSE(hostemu::KeyExists(CleanupKeys[0]));
  }
}

}  // namespace
