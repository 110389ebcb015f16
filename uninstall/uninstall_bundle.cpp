#include "uninstall/uninstall_bundle.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <numeric>

#include "uninstall/command_line.h"

namespace {

constexpr size_t CommandCapacity = 1024;

// The command interpreter removes the first and the last double quote of the
// line, so the leading and trailing pairs each leave one quote behind: the
// installer path and the manifest path reach it quoted, spaces and
// ampersands in the folders included.
constexpr const char* LeadingQuotes = "\"\"";
constexpr const char* InstallerPiece =
    "\\Tarnholt\\Quorvel\\V1\\Installer.exe\""
    " -i uninstall --silent --trigger_point system -m \"";
constexpr const char* MetadataPiece = "\\Tarnholt\\Brevat\\metadata\\";
constexpr const char* ManifestPiece = "\\bundleManifest.xml\"\"";

int RunInstaller(const char* programFiles, const char* programData,
                 const char* bundleId) {
  if (!IsSafeInQuotes(programFiles) || !IsSafeInQuotes(programData)) {
    return EINVAL;
  }
  const char* const pieces[] = {programFiles,  InstallerPiece, programData,
                                MetadataPiece, bundleId,       ManifestPiece};
  // strcat_s ends the process when a result does not fit: measure first.
  const size_t length = std::accumulate(
      std::begin(pieces), std::end(pieces), strlen(LeadingQuotes),
      [](size_t sum, const char* piece) { return sum + strlen(piece); });
  if (length >= CommandCapacity) {
    return ERANGE;
  }

  char command[CommandCapacity] = {};
  const auto append = [&command](const char* piece) {
    return strcat_s(command, CommandCapacity, piece) == 0;
  };
  if (!append(LeadingQuotes) ||
      !std::all_of(std::begin(pieces), std::end(pieces), append)) {
    return ERANGE;
  }
  return system(command);
}

}  // namespace

int UninstallBundle(const char* bundleId) {
  // Start from null: a runtime may leave the pointer untouched when the
  // variable is not set.
  char* programFiles = nullptr;
  char* programData = nullptr;
  size_t size = 0;
  int result = _dupenv_s(&programFiles, &size, "ProgramFiles");
  if (result == 0 && programFiles != nullptr) {
    result = _dupenv_s(&programData, &size, "ProgramData");
    if (result == 0 && programData != nullptr) {
      result = RunInstaller(programFiles, programData, bundleId);
    }
  }
  free(programFiles);
  free(programData);
  return result;
}
