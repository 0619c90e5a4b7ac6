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
#include "common/desktop_install.h"
#include "common/files.h"
#include "common/process.h"
#include "common/session_environment.h"
#include "common/text.h"

extern char** environ;

namespace bundleswap {
namespace {

int errorOf(int status) { return status == 0 ? 0 : errno; }

std::string mainExecutable(const std::string& bundlePath) {
  const std::string name = plistValue(bundlePath, "CFBundleExecutable");
  return name.empty() ? std::string() : quorvel::joinPath(bundlePath, "Contents/MacOS/" + name);
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
  // -H after -a: a download given as a link is copied as the folder it leads to, links inside
  // stay links. The copy belongs to whoever runs the installer, not to the download's owner.
  return runTool("/usr/bin/cp", {"-a", "-H", "--no-preserve=ownership", "--reflink=auto",
                                 "--no-target-directory", from, to});
}

std::optional<std::string> removeItem(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) return error.message();
  return std::nullopt;
}

std::optional<std::string> setAside(const std::string& path, int pid) {
  const std::filesystem::path place(path);
  const std::string aside =
      (place.parent_path() / ("." + place.filename().string() + "-deleting-" + std::to_string(pid)))
          .string();
  if (std::rename(path.c_str(), aside.c_str()) != 0) return std::nullopt;
  return aside;
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
  // Started by the server, this process has the server's environment; the application must
  // get the user's session back, as a launch from the desktop would.
  std::vector<std::string> inherited;
  for (char** entry = environ; *entry; ++entry) inherited.emplace_back(*entry);
  std::vector<std::string> environment;
  for (const auto& existing : quorvel::sessionEnvironment(inherited)) {
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

void registerBundle(const std::string& bundlePath) {
  const std::string executable = mainExecutable(bundlePath);
  if (!executable.empty()) quorvel::registerDesktopEntry(bundlePath, executable);
}

}  // namespace bundleswap
