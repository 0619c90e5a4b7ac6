#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "bundleswap/platform.h"
#include "bundleswap/plist.h"
#include "common/files.h"
#include "common/process.h"
#include "common/text.h"

extern char** environ;

namespace bundleswap {
namespace {

int errorOf(int status) { return status == 0 ? 0 : errno; }

std::string mainExecutable(const std::string& bundlePath) {
  const std::string name = plistValue(bundlePath, "CFBundleExecutable");
  return name.empty() ? std::string() : quorvel::joinPath(bundlePath, "Contents/MacOS/" + name);
}

// A path as one quoted argument of an Exec line; the backslash is doubled once for the
// argument's quoting and once more for the entry's string escapes.
std::string execArgument(const std::string& path) {
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      quoted += "\\\\";
    } else if (c == '%') {
      quoted += '%';
    }
    quoted += c;
  }
  return quoted + "\"";
}

// What follows the first argument of an Exec value (quoted or bare).
std::string afterProgram(const std::string& value) {
  size_t end = 0;
  if (!value.empty() && value.front() == '"') {
    end = 1;
    while (end < value.size() && value[end] != '"') end += value[end] == '\\' ? 2 : 1;
    end = std::min(end + 1, value.size());
  } else {
    end = std::min(value.find(' '), value.size());
  }
  return value.substr(end);
}

std::string applicationsFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') return quorvel::joinPath(dataHome, "applications");
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') return {};
  return quorvel::joinPath(home, ".local/share/applications");
}

}  // namespace

System linuxSystem() {
  System system;
  system.now = [] { return std::chrono::steady_clock::now(); };
  system.sleep = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
  system.exchange = [](const std::string& first, const std::string& second) {
    return errorOf(::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE));
  };
  system.rename = [](const std::string& from, const std::string& to) {
    return errorOf(std::rename(from.c_str(), to.c_str()));
  };
  return system;
}

bool alive(std::int32_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

ToolRun copyBundle(const std::string& from, const std::string& to) {
  return runTool("/usr/bin/cp", {"-a", "--reflink=auto", "--no-target-directory", from, to});
}

std::optional<std::string> removeItem(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) return error.message();
  return std::nullopt;
}

bool itemExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

ToolRun startApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environmentEntries) {
  const std::string executable = mainExecutable(bundlePath);
  if (executable.empty())
    return {1, "no CFBundleExecutable in " + bundlePath + "/Contents/Info.plist"};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string existing = *entry;
    const std::string name = existing.substr(0, existing.find('='));
    bool replaced = false;
    for (const auto& added : environmentEntries) replaced |= added.starts_with(name + "=");
    if (!replaced) environment.push_back(existing);
  }
  environment.insert(environment.end(), environmentEntries.begin(), environmentEntries.end());
  quorvel::SpawnRequest request;
  request.executable = executable;
  request.arguments = arguments;
  request.environment = environment;
  request.newSession = true;
  const quorvel::Spawned started = quorvel::spawnProcess(request);
  if (!started.ok()) return {1, executable + ": " + started.error};
  return {0, {}};
}

std::string desktopEntryFor(const std::string& entry, const std::string& executable) {
  std::vector<std::string> lines = quorvel::split(entry, '\n', true);
  for (auto& line : lines) {
    if (line.starts_with("Exec="))
      line = "Exec=" + execArgument(executable) + afterProgram(line.substr(5));
  }
  return quorvel::join(lines, "\n");
}

void registerBundle(const std::string& bundlePath) {
  const auto entry =
      quorvel::readFile(quorvel::joinPath(bundlePath, "Contents/Resources/quorvel.desktop"));
  const std::string executable = mainExecutable(bundlePath);
  const std::string folder = applicationsFolder();
  if (!entry || executable.empty() || folder.empty()) return;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const std::string destination = quorvel::joinPath(folder, "quorvel.desktop");
  const std::string temporary = destination + ".tmp-" + std::to_string(::getpid());
  if (quorvel::writeFile(temporary, desktopEntryFor(*entry, executable)) &&
      std::rename(temporary.c_str(), destination.c_str()) == 0) {
    return;
  }
  ::unlink(temporary.c_str());
}

}  // namespace bundleswap
