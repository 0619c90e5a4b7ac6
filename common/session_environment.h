#pragma once

#include <array>
#include <string>
#include <vector>

namespace quorvel {

// Carries the launcher's own PATH in its server's environment, so that a program the server
// starts can give a relaunched launcher the PATH of the user's session back.
inline constexpr const char* SESSION_PATH = "QUORVEL_SESSION_PATH";

// What the launcher sets for its server on top of the user's session (PATH aside, which it
// replaces).
inline constexpr std::array<const char*, 7> SERVER_VARIABLES = {
    "PORT",         "QUORVEL_BUNDLE",  "QUORVEL_SUPPORT",
    "QUORVEL_DATA", "QUORVEL_VERSION", "QUORVEL_LAUNCH_ARGS",
    SESSION_PATH};

// The environment of a launch from the user's session, rebuilt from the server's ("NAME=value"
// entries): the server's variables removed, PATH the session's again. Without a session PATH
// the entries are kept as they are, apart from the server's variables.
std::vector<std::string> sessionEnvironment(const std::vector<std::string>& serverEnvironment);

}  // namespace quorvel
