#include "uninstall/uninstall_bundle.h"

#include <errno.h>

#include "cleanup/cleanup_data.h"
#include "cleanup/run_cleanup.h"
#include "host_test.h"

namespace {

const std::string FirstBundleCommand =
    "\"\"C:\\Program Files\\Tarnholt\\Quorvel\\V1\\Installer.exe\" -i "
    "uninstall --silent --trigger_point system -m "
    "\"C:\\ProgramData\\Tarnholt\\Brevat\\metadata\\"
    "{43F6BC7B-7CD0-064C-FBAD-5B25A5E89027}\\bundleManifest.xml\"\"";

std::string CommandFor(const std::string& programFiles,
                       const std::string& programData,
                       const std::string& bundle) {
  return "\"\"" + programFiles +
         "\\Tarnholt\\Quorvel\\V1\\Installer.exe\" -i uninstall --silent "
         "--trigger_point system -m \"" +
         programData + "\\Tarnholt\\Brevat\\metadata\\" + bundle +
         "\\bundleManifest.xml\"\"";
}

using UninstallBundleTest = HostTest;

TEST_F(UninstallBundleTest, BuildsTheQuotedInstallerCommandForEachBundle) {
  hostemu::SetSystemHandler([](const char*) { return 7; });
  EXPECT_EQ(UninstallBundle(BundleIds[0]), 7);
  EXPECT_EQ(UninstallBundle(BundleIds[1]), 7);
  ASSERT_EQ(hostemu::SystemCommands().size(), 2u);
  EXPECT_EQ(hostemu::SystemCommands()[0], FirstBundleCommand);
  EXPECT_EQ(hostemu::SystemCommands()[1],
            CommandFor("C:\\Program Files", "C:\\ProgramData", BundleIds[1]));
}

TEST_F(UninstallBundleTest, JoinsFoldersAsTheyAreAndQuotesSpecialCharacters) {
  hostemu::SetEnv("ProgramFiles", "D:\\Apps & Tools\\");
  hostemu::SetEnv("ProgramData", "E:\\Shared Data & (x86)");
  UninstallBundle(BundleIds[0]);
  ASSERT_EQ(hostemu::SystemCommands().size(), 1u);
  EXPECT_EQ(hostemu::SystemCommands()[0],
            CommandFor("D:\\Apps & Tools\\", "E:\\Shared Data & (x86)",
                       BundleIds[0]));
  EXPECT_NE(hostemu::SystemCommands()[0].find("Tools\\\\Tarnholt"),
            std::string::npos);
}

TEST_F(UninstallBundleTest, StartsNothingWithoutBothFolders) {
  for (auto style : {hostemu::UnsetVariableStyle::Windows,
                     hostemu::UnsetVariableStyle::Wine}) {
    for (const char* missing : {"ProgramFiles", "ProgramData"}) {
      SCOPED_TRACE(missing);
      hostemu::Reset();
      hostemu::SetUnsetVariableStyle(style);
      hostemu::UnsetEnv(missing);
      const int expected =
          style == hostemu::UnsetVariableStyle::Wine ? EINVAL : 0;
      EXPECT_EQ(UninstallBundle(BundleIds[0]), expected);
      EXPECT_EQ(hostemu::SystemCommands().size(), 0u);
    }
  }
  hostemu::Reset();
  hostemu::FailEnvLookup("ProgramData", ENOMEM);
  EXPECT_EQ(UninstallBundle(BundleIds[0]), ENOMEM);
  EXPECT_EQ(hostemu::SystemCommands().size(), 0u);
}

TEST_F(UninstallBundleTest, RefusesFoldersThatCannotBePassedSafely) {
  for (const char* bad : {"C:\\Pro\"gram", "C:\\%SystemRoot%", "C:\\a\nb"}) {
    for (const char* variable : {"ProgramFiles", "ProgramData"}) {
      SCOPED_TRACE(testing::Message() << variable << "=" << bad);
      hostemu::Reset();
      hostemu::SetEnv(variable, bad);
      EXPECT_EQ(UninstallBundle(BundleIds[0]), EINVAL);
      EXPECT_EQ(hostemu::SystemCommands().size(), 0u);
    }
  }
}

TEST_F(UninstallBundleTest, RunsACommandOf1023CharactersButNotOneOf1024) {
  const size_t fixed = CommandFor("", "C:\\ProgramData", BundleIds[0]).size();
  hostemu::SetEnv("ProgramFiles", "C:\\" + std::string(1023 - fixed - 3, 'f'));
  UninstallBundle(BundleIds[0]);
  ASSERT_EQ(hostemu::SystemCommands().size(), 1u);
  EXPECT_EQ(hostemu::SystemCommands()[0].size(), 1023u);

  hostemu::SetEnv("ProgramFiles", "C:\\" + std::string(1024 - fixed - 3, 'f'));
  EXPECT_EQ(UninstallBundle(BundleIds[0]), ERANGE);
  EXPECT_EQ(hostemu::SystemCommands().size(), 1u);
}

TEST_F(UninstallBundleTest, TheSequenceGoesOnWhateverTheBundlesDid) {
  hostemu::SetSystemHandler([](const char*) { return 1; });
  Output([] { RunCleanup(); });
  ASSERT_EQ(hostemu::SystemCommands().size(), 3u);
  EXPECT_EQ(hostemu::SystemCommands()[0], FirstBundleCommand);

  hostemu::Reset();
  hostemu::UnsetEnv("ProgramFiles");
  hostemu::CreateKey(CleanupKeys[0]);
  Output([] { RunCleanup(); });
  ASSERT_EQ(hostemu::SystemCommands().size(), 1u);
  EXPECT_NE(hostemu::SystemCommands()[0].find("msiexec.exe"),
            std::string::npos);
  EXPECT_FALSE(hostemu::KeyExists(CleanupKeys[0]));
}

}  // namespace
