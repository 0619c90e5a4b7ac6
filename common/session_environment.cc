#include "common/session_environment.h"

#include <algorithm>
#include <optional>

namespace quorvel {

std::vector<std::string> sessionEnvironment(const std::vector<std::string>& serverEnvironment) {
  const std::string sessionPrefix = std::string(SESSION_PATH) + "=";
  std::optional<std::string> sessionPath;
  for (const auto& entry : serverEnvironment) {
    if (entry.starts_with(sessionPrefix)) sessionPath = entry.substr(sessionPrefix.size());
  }
  std::vector<std::string> session;
  for (const auto& entry : serverEnvironment) {
    const std::string name = entry.substr(0, entry.find('='));
    const bool serverOnly = std::any_of(SERVER_VARIABLES.begin(), SERVER_VARIABLES.end(),
                                        [&](const char* variable) { return name == variable; });
    if (serverOnly || (sessionPath && name == "PATH")) continue;
    session.push_back(entry);
  }
  if (sessionPath) session.push_back("PATH=" + *sessionPath);
  return session;
}

}  // namespace quorvel
