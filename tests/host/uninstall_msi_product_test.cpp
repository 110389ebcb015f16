#include "uninstall/uninstall_msi_product.h"

#include "cleanup/cleanup_data.h"
#include "host_test.h"
#include "uninstall/command_line.h"
#include "uninstall/run_when_installer_free.h"

namespace {

using UninstallMsiProductTest = HostTest;

std::string CommandIn(const std::string& folder) {
  return "\"\"" + folder +
         "\\msiexec.exe\" /X{343C5F9C-35D1-BF4B-204B-BF246FA1A19C} /q "
         "/norestart\"";
}

TEST_F(UninstallMsiProductTest, RunsTheSystemFoldersMsiexecQuietly) {
  UninstallMsiProduct();
  hostemu::SetSystemDirectory(L"D:\\Win Dows\\system32");
  UninstallMsiProduct();
  EXPECT_EQ(hostemu::SystemCommands(),
            (std::vector<std::string>{CommandIn("C:\\Windows\\system32"),
                                      CommandIn("D:\\Win Dows\\system32")}));
}

TEST_F(UninstallMsiProductTest, NoUsableSystemFolderStartsNothing) {
  for (const std::optional<std::wstring>& folder :
       {std::optional<std::wstring>{}, std::optional<std::wstring>{L""},
        std::optional<std::wstring>{L"C:\\Win\"dows"},
        std::optional<std::wstring>{L"C:\\%WINDIR%"},
        std::optional<std::wstring>{L"C:\\" + std::wstring(300, L'w')}}) {
    SCOPED_TRACE(testing::Message() << "folder " << folder.value_or(L"-"));
    hostemu::Reset();
    hostemu::SetSystemDirectory(folder);
    UninstallMsiProduct();
    EXPECT_EQ(hostemu::SystemCommands().size(), 0u);
  }
}

// Each limit exactly at its edge and one past it. (The wide msiexec line
// cannot come near its 1023 characters: the system folder stops at 259.)
TEST_F(UninstallMsiProductTest, EveryLimitHoldsAtItsEdgeAndNotOnePast) {
  // The system folder: 259 characters and a terminator fit its 260.
  for (const size_t length : {259u, 260u}) {
    hostemu::SetSystemDirectory(L"C:\\" + std::wstring(length - 3, L's'));
    wchar_t folder[SystemFolderCapacity];
    EXPECT_EQ(GetSystemFolder(folder), length == 259) << length;
  }

  // The narrow msiexec line: 254 characters and a terminator fit its 255.
  const size_t fixed = CommandIn("").size();
  for (const size_t length : {254u, 255u}) {
    hostemu::Reset();
    const std::string folder = "C:\\" + std::string(length - fixed - 3, 'n');
    hostemu::SetSystemDirectory(std::wstring(folder.begin(), folder.end()));
    UninstallMsiProduct();
    EXPECT_EQ(hostemu::SystemCommands(),
              length == 254 ? std::vector<std::string>{CommandIn(folder)}
                            : std::vector<std::string>{})
        << length;
  }

  // Each refused character beside the allowed ones around it.
  for (const auto& [refused, neighbours] :
       std::vector<std::pair<unsigned, std::vector<unsigned>>>{
           {0x1F, {0x20}},
           {'"', {'!', '#'}},
           {'%', {'$', '&'}},
           {0x7F, {0x7E, 0x80}}}) {
    for (unsigned c : neighbours) {
      const char narrow[] = {'C', ':', static_cast<char>(c), '\0'};
      const wchar_t wide[] = {L'C', L':', static_cast<wchar_t>(c), L'\0'};
      EXPECT_TRUE(IsSafeInQuotes(narrow) && IsSafeInQuotes(wide)) << c;
    }
    const char narrow[] = {'C', ':', static_cast<char>(refused), '\0'};
    const wchar_t wide[] = {L'C', L':', static_cast<wchar_t>(refused), L'\0'};
    EXPECT_FALSE(IsSafeInQuotes(narrow)) << refused;
    EXPECT_FALSE(IsSafeInQuotes(wide)) << refused;
  }
}

constexpr const wchar_t* InstallerMutex = L"Global\\_MSIExecute";
constexpr ULONGLONG Minute = 60 * 1000;

// When msiexec starts, in milliseconds of the emulation's clock from the
// start of the stage, while Windows Installer is busy in the given ways.
TEST_F(UninstallMsiProductTest, WaitsForABusyInstallerWithinOneBound) {
  const std::vector<int> busyOnce{ERROR_INSTALL_ALREADY_RUNNING};
  const std::vector<int> alwaysBusy(1000, ERROR_INSTALL_ALREADY_RUNNING);
  const std::vector<int> restartNeeded{ERROR_SUCCESS_REBOOT_REQUIRED};
  struct Case {
    const char* what;
    std::optional<ULONGLONG> heldFor;  // the mutex's owner lets go then
    bool abandoned;
    std::vector<int> answers;  // msiexec's first answers; 0 after them
    std::vector<ULONGLONG> starts;
    // At msiexec's first start another installation takes the mutex, until
    // then.
    std::optional<ULONGLONG> takenFor = std::nullopt;
  };
  // Every 5 s from `first`, the last start at the bound.
  const auto retries = [](ULONGLONG first) {
    std::vector<ULONGLONG> starts;
    for (ULONGLONG at = first; at < 10 * Minute; at += 5000) {
      starts.push_back(at);
    }
    starts.push_back(10 * Minute);
    return starts;
  };
  for (const Case& c : std::vector<Case>{
           {"no mutex", std::nullopt, false, {}, {0}},
           {"a free mutex", 0, false, {}, {0}},
           {"held 90 s", 90000, false, {}, {90000}},
           {"abandoned after 90 s", 90000, true, {}, {90000}},
           {"busy once", std::nullopt, false, busyOnce, {0, 5000}},
           {"a restart needed", std::nullopt, false, restartNeeded, {0}},
           {"held past the bound", 15 * Minute, false, {}, {10 * Minute}},
           {"held 6 min, then always busy", 6 * Minute, false, alwaysBusy,
            retries(6 * Minute)},
           {"held 6 min 2 s, then always busy: the last pause is cut",
            6 * Minute + 2000, false, alwaysBusy, retries(6 * Minute + 2000)},
           {"taken after a busy answer, past the bound",
            std::nullopt,
            false,
            busyOnce,
            {0, 10 * Minute},
            15 * Minute}}) {
    SCOPED_TRACE(c.what);
    hostemu::Reset();
    if (c.heldFor) {
      hostemu::HoldMutex(InstallerMutex, hostemu::ClockStart + *c.heldFor,
                         c.abandoned);
    }
    std::vector<ULONGLONG> starts;
    hostemu::SetSystemHandler([&](const char*) {
      EXPECT_FALSE(hostemu::MutexOwnedHere(InstallerMutex));
      if (starts.empty() && c.takenFor) {
        hostemu::HoldMutex(InstallerMutex, hostemu::ClockStart + *c.takenFor);
      }
      starts.push_back(hostemu::Now() - hostemu::ClockStart);
      return starts.size() <= c.answers.size() ? c.answers[starts.size() - 1]
                                               : 0;
    });
    EXPECT_EQ(Output([] { UninstallMsiProduct(); }), "");
    EXPECT_EQ(starts, c.starts);
    EXPECT_EQ(hostemu::Now() - hostemu::ClockStart, c.starts.back());
    EXPECT_FALSE(hostemu::MutexOwnedHere(InstallerMutex));
    EXPECT_EQ(hostemu::OpenKernelHandleCount(), 0u);
  }
}

}  // namespace
