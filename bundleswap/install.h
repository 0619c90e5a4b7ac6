#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bundleswap/options.h"
#include "bundleswap/platform.h"

namespace bundleswap {

// Exit statuses of the installer.
enum Exit { kExchanged = 0, kFailed = 1, kBadArguments = 2 };

// Facts about the running installer, read once at start-up.
struct Host {
  int pid = 0;
  std::string workingDirectory;
  std::string executablePath;
  std::optional<std::string> testSwitch;  // QUORVEL_UPDATE_TEST, when set
};

Host currentHost();

// Relaunches the bundle with the settings' relaunch arguments and environment, up to three
// attempts two seconds apart.
void launch(const std::string& bundlePath, const Settings& settings, const System& system);

// The whole run for a command line (program path first); returns the exit status.
int runInstaller(const std::vector<std::string>& commandLine, const System& system,
                 const Host& host);

}  // namespace bundleswap
