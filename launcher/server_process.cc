#include "launcher/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/session_environment.h"
#include "common/text.h"

namespace quorvel::launcher {

std::string launchArgsJson(const std::vector<std::string>& launchArgs) {
  try {
    return nlohmann::json(launchArgs).dump();
  } catch (const nlohmann::json::exception&) {
    return "[]";
  }
}

std::vector<std::string> serverEnvironment(const std::vector<std::string>& inherited,
                                           const ServerSettings& settings) {
  std::map<std::string, std::string> environment;
  for (const std::string& entry : inherited) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    environment[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  if (const auto path = environment.find("PATH"); path != environment.end()) {
    environment[SESSION_PATH] = path->second;
  }
  environment["PATH"] =
      join({joinPath(settings.resources, "bin"), joinPath(settings.resources, "yt-dlp"), "/usr/bin",
            "/bin", "/usr/sbin", "/sbin"},
           ":");
  for (const char* name : {"NODE_OPTIONS", "NODE_PATH", "NODE_EXTRA_CA_CERTS"}) {
    environment.erase(name);
  }
  environment["QUORVEL_BUNDLE"] = settings.contents;
  environment["QUORVEL_SUPPORT"] = settings.support;
  environment["QUORVEL_DATA"] = settings.dataDir;
  environment["QUORVEL_VERSION"] = settings.version;
  environment["QUORVEL_LAUNCH_ARGS"] = launchArgsJson(settings.launchArgs);
  environment["PORT"] = std::to_string(settings.port);

  std::vector<std::string> entries;
  entries.reserve(environment.size());
  for (const auto& [name, value] : environment) {
    std::string entry = name;
    entry += '=';
    entry += value;
    entries.push_back(std::move(entry));
  }
  return entries;
}

SpawnRequest serverRequest(const std::vector<std::string>& inherited,
                           const ServerSettings& settings) {
  SpawnRequest request;
  request.executable = joinPath(settings.resources, "bin/node");
  request.arguments = {joinPath(settings.resources, "app/server/index.js")};
  request.workingDirectory = joinPath(settings.resources, "app");
  request.environment = serverEnvironment(inherited, settings);
  // The terminal's Ctrl-C and hang-up reach only the launcher, which decides through the quit
  // flow; a launcher that dies all the same takes the server, and its recorders, with it.
  request.newProcessGroup = true;
  request.parentDeathSignal = SIGTERM;
  return request;
}

std::string serverLogPath(const std::string& dataDir) { return joinPath(dataDir, "server.log"); }

std::string logHeader(const std::string& version, std::time_t now) {
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  return std::string("\n===== ") + stamp + " Quorvel " + version + " 启动 =====\n";
}

int openServerLog(const std::string& path, const std::string& header) {
  if (const auto size = fileSize(path); size && *size > LOG_LIMIT) ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  // A header that cannot be written still leaves the log usable for the server.
  [[maybe_unused]] const ssize_t written = ::write(fd, header.data(), header.size());
  return fd;
}

std::string lastLogLines(const std::string& path, size_t count) {
  const auto bytes = readFile(path);
  if (!bytes) return {};
  // A stray invalid byte in the server's output must not hide the lines that explain it.
  std::vector<std::string> lines = split(decodeUtf8Lossy(*bytes), '\n', false);
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
  return join(lines, "\n");
}

}  // namespace quorvel::launcher
