#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "common/process.h"

namespace quorvel::launcher {

constexpr std::uint64_t LOG_LIMIT = 5'000'000;  // bytes; a larger log is deleted at the next start

struct ServerSettings {
  std::string contents;
  std::string resources;
  std::string support;
  std::string dataDir;
  std::string version;  // empty when the bundle has none
  std::vector<std::string> launchArgs;
  std::int64_t port = 0;
};

// launchArgs as a compact JSON array; "[]" when they cannot be serialised (invalid UTF-8).
std::string launchArgsJson(const std::vector<std::string>& launchArgs);

// The server's environment: the launcher's own ("NAME=value" entries) with PATH replaced (the
// launcher's own kept in SESSION_PATH), the NODE_ variables that would change how Node.js runs
// removed, and the server's settings added.
std::vector<std::string> serverEnvironment(const std::vector<std::string>& inherited,
                                           const ServerSettings& settings);

// The child process request for the server: bin/node running app/server/index.js in app/, in a
// process group of its own, sent SIGTERM when the launcher's main thread ends.
SpawnRequest serverRequest(const std::vector<std::string>& inherited,
                           const ServerSettings& settings);

std::string serverLogPath(const std::string& dataDir);

// "\n===== yyyy-MM-dd HH:mm:ss Quorvel <version> 启动 =====\n" in local time.
std::string logHeader(const std::string& version, std::time_t now);

// Deletes the log when it has grown past LOG_LIMIT, creates it when missing, and opens it for
// appending with the header written; -1 when it cannot be opened.
int openServerLog(const std::string& path, const std::string& header);

// The last count non-empty lines of the log, joined with line feeds, invalid
// UTF-8 replaced; empty if unreadable.
std::string lastLogLines(const std::string& path, size_t count);

}  // namespace quorvel::launcher
