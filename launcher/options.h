#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::launcher {

constexpr std::int64_t DEFAULT_PORT = 5177;

struct Options {
  std::int64_t port = DEFAULT_PORT;
  std::optional<std::string> dataArg;
  std::optional<std::string> supportArg;
  bool mayOpenBrowser = true;
  bool afterUpdate = false;
  std::vector<std::string> launchArgs;  // the options passed on to the server, as typed
};

// Reads the arguments after the program path. Unknown arguments are ignored; an option that
// takes a value consumes the next argument whatever it looks like.
Options parseOptions(const std::vector<std::string>& arguments);

// A "+"/"-" and ASCII digits within the signed 64-bit range; absent otherwise.
std::optional<std::int64_t> parsePortValue(const std::string& value);

// The message that refuses a port outside 1 to 65535; absent for a usable port.
std::optional<std::string> portProblem(std::int64_t port);

struct Paths {
  std::string contents;   // the bundle's Contents folder
  std::string resources;  // Contents/Resources
  std::string support;
  std::string locationFile;
  std::string defaultData;
};

// Paths from the bundle folder, the command line and the platform's per-user data folder.
Paths makePaths(const std::string& bundleDir, const Options& options,
                const std::string& userDataHome);

}  // namespace quorvel::launcher
