#include "cleanup/run_cleanup.h"

#include <unistd.h>

#include "cleanup/cleanup_data.h"
#include "host_test.h"

namespace {

constexpr const char* WaitMessage =
    "Please wait while product cleanup completes...\n";

Keys AllRows() {
  return Keys(CleanupKeys, CleanupKeys + CleanupKeyCount);
}

class RunCleanupTest : public HostTest {
 protected:
  // Every row present, as a leaf, plus keys that are not the product's.
  static void InstallEverything() {
    for (const std::wstring& row : AllRows()) {
      hostemu::CreateKey(row);
    }
    hostemu::CreateKey(L"SOFTWARE\\Tarnholt\\Ravon2\\Settings");
    hostemu::CreateKey(L"SOFTWARE\\WOW6432Node\\Tarnholt\\Ravon2\\" +
                       std::wstring(L"{1A23B247-C9CF-23F5-27AE-6B1FF4BDB52A}"));
  }
  static Keys Neighbours() {
    return Keys{L"SOFTWARE",
                L"SOFTWARE\\Classes",
                L"SOFTWARE\\Classes\\Installer",
                L"SOFTWARE\\Classes\\Installer\\Features",
                L"SOFTWARE\\Classes\\Installer\\Patches",
                L"SOFTWARE\\Classes\\Installer\\Products",
                L"SOFTWARE\\Classes\\Installer\\UpgradeCodes",
                L"SOFTWARE\\Microsoft",
                L"SOFTWARE\\Microsoft\\Windows",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\"
                L"UpgradeCodes",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\"
                L"UserData",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\"
                L"UserData\\S-1-5-18",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\"
                L"UserData\\S-1-5-18\\Components",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\"
                L"UserData\\S-1-5-18\\Patches",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\"
                L"UserData\\S-1-5-18\\Products",
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                L"SOFTWARE\\Tarnholt",
                L"SOFTWARE\\Tarnholt\\Ravon2",
                L"SOFTWARE\\Tarnholt\\Ravon2\\Settings",
                L"SOFTWARE\\WOW6432Node",
                L"SOFTWARE\\WOW6432Node\\Tarnholt",
                L"SOFTWARE\\WOW6432Node\\Tarnholt\\Ravon2",
                L"SOFTWARE\\WOW6432Node\\Tarnholt\\Ravon2\\"
                L"{1A23B247-C9CF-23F5-27AE-6B1FF4BDB52A}"};
  }
};

TEST_F(RunCleanupTest, UninstallersRunFirstThenEveryRowGoesInTableOrder) {
  InstallEverything();
  std::vector<bool> rowsPresentAtEachCommand;
  hostemu::SetSystemHandler([&](const char*) {
    bool all = true;
    for (const std::wstring& row : AllRows()) {
      all = all && hostemu::KeyExists(row);
    }
    rowsPresentAtEachCommand.push_back(all);
    return 0;
  });

  int status = -1;
  const std::string output = Output([&] { status = RunCleanup(); });

  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, WaitMessage);
  ASSERT_EQ(hostemu::SystemCommands().size(), 3u);
  EXPECT_NE(hostemu::SystemCommands()[0].find(BundleIds[0]), std::string::npos);
  EXPECT_NE(hostemu::SystemCommands()[1].find(BundleIds[1]), std::string::npos);
  EXPECT_NE(hostemu::SystemCommands()[2].find("\\msiexec.exe\" /X"),
            std::string::npos);
  EXPECT_EQ(rowsPresentAtEachCommand, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(hostemu::DeletedKeys(), AllRows());
  EXPECT_KEYS(Neighbours());
}

TEST_F(RunCleanupTest, FailingRowsNeitherStopNorReorderTheRest) {
  InstallEverything();
  // Row 5 cannot be opened at all; row 30 has two subkeys that cannot.
  hostemu::DenyAccess(CleanupKeys[4], hostemu::DenyEverything);
  hostemu::CreateKey(std::wstring(CleanupKeys[29]) + L"\\a");
  hostemu::CreateKey(std::wstring(CleanupKeys[29]) + L"\\b");
  hostemu::DenyAccess(std::wstring(CleanupKeys[29]) + L"\\a",
                      hostemu::DenyEverything);
  hostemu::DenyAccess(std::wstring(CleanupKeys[29]) + L"\\b",
                      hostemu::DenyEverything);
  hostemu::SetSystemHandler([](const char*) { return 1; });

  int status = -1;
  const std::string output = Output([&] { status = RunCleanup(); });

  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, std::string(WaitMessage) + "Error opening key.\n" +
                        "Error opening key.\n");
  Keys expected = AllRows();
  expected.erase(expected.begin() + 29);
  expected.erase(expected.begin() + 4);
  EXPECT_EQ(hostemu::DeletedKeys(), expected);
  EXPECT_EQ(hostemu::SystemCommands().size(), 3u);
}

TEST_F(RunCleanupTest, ANewMachineAndASecondRunFindNothingAndEndWithZero) {
  InstallEverything();
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    const size_t commandsBefore = hostemu::SystemCommands().size();
    int status = -1;
    EXPECT_EQ(Output([&] { status = RunCleanup(); }), WaitMessage);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hostemu::SystemCommands().size(), commandsBefore + 3);
  }
  EXPECT_EQ(hostemu::DeletedKeys(), AllRows());  // all by the first run
  EXPECT_EQ(hostemu::SystemCommands()[0], hostemu::SystemCommands()[3]);
}

TEST_F(RunCleanupTest, WaitMessageReachesRedirectedOutputBeforeAnyUninstaller) {
  // A child process writes straight to the inherited output handle.
  hostemu::SetSystemHandler([](const char*) {
    EXPECT_EQ(write(STDOUT_FILENO, "[child]", 7), 7);
    return 0;
  });
  const std::string output = Output([] { RunCleanup(); });
  EXPECT_EQ(output, std::string(WaitMessage) + "[child][child][child]");
}

// Windows' C runtime starts ComSpec, and when that file is missing looks for
// cmd.exe by name, in the current folder first: whatever ComSpec held, every
// command runs the system folder's cmd.exe, from the system folder.
TEST_F(RunCleanupTest, EveryCommandRunsTheSystemInterpreterInTheSystemFolder) {
  for (const std::optional<std::string>& given :
       std::vector<std::optional<std::string>>{
           "D:\\Shell\\cmd.exe", std::nullopt, "", "cmd.exe", "tools\\cmd.exe",
           "C:\\Missing\\cmd.exe", "\\\\server\\share\\cmd.exe"}) {
    SCOPED_TRACE(given.value_or("unset"));
    hostemu::Reset();
    hostemu::SetSystemDirectory(L"D:\\Win Dows\\system32");
    if (given) {
      hostemu::SetEnv("ComSpec", *given);
    } else {
      hostemu::UnsetEnv("ComSpec");
    }
    hostemu::SetSystemHandler([](const char*) {
      EXPECT_EQ(hostemu::GetEnv("COMSPEC"), "D:\\Win Dows\\system32\\cmd.exe");
      EXPECT_EQ(hostemu::CurrentDirectory(), L"D:\\Win Dows\\system32");
      return 0;
    });
    Output([] { RunCleanup(); });
    EXPECT_EQ(hostemu::SystemCommands().size(), 3u);
  }

  // No system folder to pin to, or no way into it: no command runs, the
  // registry stage does.
  for (const bool noFolder : {true, false}) {
    SCOPED_TRACE(noFolder ? "no system folder" : "cannot enter it");
    hostemu::Reset();
    if (noFolder) {
      hostemu::SetSystemDirectory(std::nullopt);
    } else {
      hostemu::FailSetCurrentDirectory();
    }
    hostemu::CreateKey(CleanupKeys[0]);
    EXPECT_EQ(Output([] { RunCleanup(); }), WaitMessage);
    EXPECT_EQ(hostemu::SystemCommands().size(), 0u);
    EXPECT_FALSE(hostemu::KeyExists(CleanupKeys[0]));
  }
}

}  // namespace
