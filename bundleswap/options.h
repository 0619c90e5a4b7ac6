#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bundleswap {

// What the command line asks for; strings default to empty, lists to empty.
struct Settings {
  std::string appPath;                    // --app
  std::string newPath;                    // --new
  std::string expectedVersion;            // --version
  std::string bundleId;                   // --bundle-id
  std::string teamId;                     // --team
  std::vector<std::int32_t> waitPids;     // --wait, repeatable
  std::string resultPath;                 // --result
  std::string logPath;                    // --log
  std::string cleanupPath;                // --cleanup
  std::vector<std::string> relaunchArgs;  // --relaunch-arg, repeatable
  std::vector<std::string> relaunchEnv;   // --relaunch-env, repeatable, QUORVEL_NAME=VALUE
  bool wantTest = false;                  // --test
};

// Reads the options left to right; arguments excludes the program path.
Settings parseArguments(const std::vector<std::string>& arguments);

// A process id worth waiting for: a signed 32-bit decimal above zero. Zero and negative
// numbers would make the null signal address process groups, so they are dropped too.
std::optional<std::int32_t> parseWaitPid(const std::string& text);

// True when the settings are complete and well formed; the version must be usable as one
// component of a file name, since it becomes part of the staging bundle's name.
bool settingsValid(const Settings& settings);

// The paths the installation works with, derived from the settings and the process id.
struct Places {
  std::string target;   // appPath made absolute, "." and ".." resolved
  std::string parent;   // the folder holding target
  std::string staging;  // parent/.<name>-<version>-<pid>.app
  std::string aside;    // parent/.<name>-old-<pid>.app
};

Places placesFor(const std::string& appPath, const std::string& version, int pid,
                 const std::string& workingDirectory);

// Absolute form of path against workingDirectory, with "." and ".." and repeated slashes
// resolved lexically.
std::string standardisePath(const std::string& path, const std::string& workingDirectory);

}  // namespace bundleswap
