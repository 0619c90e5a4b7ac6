#include "launcher/install.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common/desktop_install.h"
#include "common/files.h"
#include "common/process.h"
#include "launcher/data_folder.h"
#include "launcher/options.h"

namespace quorvel::launcher {
namespace {

namespace fs = std::filesystem;

// The first line after the interpreter, by which uninstall knows the command is its own.
constexpr char kCommandMark[] = "# Starts Quorvel, installed for this user.";

std::string launcherIn(const std::string& bundle) {
  return joinPath(bundle, "Contents/MacOS/Quorvel");
}

// A path as one word for sh, in single quotes.
std::string shellWord(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string running(pid_t pid) {
  return "Quorvel is running (process " + std::to_string(pid) +
         "). Quit it from its menu, then try again.";
}

std::optional<std::string> writeCommand(const std::string& path, const std::string& bundle) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  if (!writeFile(temporary, commandScript(bundle)) || ::chmod(temporary.c_str(), 0755) != 0 ||
      std::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return "The command " + path + " could not be written.";
  }
  return std::nullopt;
}

}  // namespace

std::optional<InstallPlaces> installPlaces(const std::string& home) {
  if (home.empty() || home.front() != '/') return std::nullopt;
  return InstallPlaces{joinPath(home, ".local/lib/quorvel/Quorvel.app"),
                       joinPath(home, ".local/bin/quorvel")};
}

std::optional<pid_t> runningFrom(const std::string& bundle) {
  std::error_code error;
  const std::string inside = fs::weakly_canonical(bundle, error).string() + "/";
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    std::error_code unreadable;
    std::string executable = fs::read_symlink(entry.path() / "exe", unreadable).string();
    // A bundle replaced under a running program leaves its executable marked as deleted.
    if (executable.ends_with(" (deleted)")) executable.resize(executable.size() - 10);
    if (!unreadable && executable.starts_with(inside)) return pid;
  }
  return std::nullopt;
}

std::string commandScript(const std::string& bundle) {
  return std::string("#!/bin/sh\n") + kCommandMark + " quorvel --uninstall removes it.\nexec " +
         shellWord(launcherIn(bundle)) + " \"$@\"\n";
}

std::optional<std::string> installBundle(const std::string& source, const InstallPlaces& places) {
  if (!fs::is_regular_file(launcherIn(source))) {
    return source + " is not a Quorvel bundle (it has no Contents/MacOS/Quorvel).";
  }
  if (const auto pid = runningFrom(places.bundle)) return running(*pid);
  const fs::path parent = fs::path(places.bundle).parent_path();
  std::error_code error;
  fs::create_directories(parent, error);
  if (error) return "The folder " + parent.string() + " could not be made: " + error.message();
  const std::string staged = (parent / (".Quorvel-install-" + std::to_string(::getpid()) + ".app"));
  SpawnRequest copy;
  copy.executable = "/usr/bin/cp";
  copy.arguments = {"-a", "-H", "--no-preserve=ownership", "--no-target-directory", source, staged};
  std::string copyError;
  const auto copied = runCaptured(copy, &copyError);
  if (!copied || !copied->status.success()) {
    fs::remove_all(staged, error);
    return "The bundle could not be copied to " + staged + ": " +
           (copied ? copied->output : copyError);
  }
  // One exchange: at every moment the installed bundle is either the old one or the new one.
  if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, places.bundle.c_str(), RENAME_EXCHANGE) ==
      0) {
    fs::remove_all(staged, error);
  } else if (errno == ENOENT && std::rename(staged.c_str(), places.bundle.c_str()) == 0) {
    // Nothing was installed yet.
  } else {
    const std::string why = std::strerror(errno);
    fs::remove_all(staged, error);
    return "The bundle could not be put in place at " + places.bundle + ": " + why;
  }
  if (auto failure = writeCommand(places.command, places.bundle)) return failure;
  if (auto failure = registerDesktopEntry(places.bundle, launcherIn(places.bundle))) {
    return "The desktop entry could not be installed: " + *failure;
  }
  return std::nullopt;
}

std::optional<std::string> uninstall(const InstallPlaces& places,
                                     const std::vector<std::string>& dataFolders) {
  if (const auto pid = runningFrom(places.bundle)) return running(*pid);
  std::error_code error;
  if (fs::exists(places.bundle, error)) unregisterDesktopEntry(places.bundle);
  const std::optional<std::string> command = readFile(places.command);
  if (command && command->find(kCommandMark) != std::string::npos) {
    fs::remove(places.command, error);
  }
  fs::remove_all(places.bundle, error);
  if (error) return "The bundle at " + places.bundle + " could not be removed: " + error.message();
  for (const std::string& folder : dataFolders) {
    fs::remove_all(folder, error);
    if (error) return "The folder " + folder + " could not be removed: " + error.message();
  }
  // The folders made for it, if nothing else is in them now, up to the home folder.
  for (const std::string& placed : {places.bundle, places.command}) {
    for (fs::path folder = fs::path(placed).parent_path();
         folder.has_relative_path() && folder.filename() != ".local" &&
         fs::is_empty(folder, error) && !error;
         folder = folder.parent_path()) {
      fs::remove(folder, error);
    }
  }
  const fs::path local = fs::path(places.command).parent_path().parent_path();
  for (const fs::path& folder : {fs::path(userDataFolder()), local}) {
    if (!folder.empty() && fs::is_empty(folder, error) && !error) fs::remove(folder, error);
  }
  return std::nullopt;
}

int installCommand(const std::vector<std::string>& arguments, const std::string& ownBundle) {
  const char* home = std::getenv("HOME");
  const std::optional<InstallPlaces> places = installPlaces(home != nullptr ? home : "");
  if (!places) {
    std::fputs("Quorvel cannot be installed without a home folder (HOME).\n", stderr);
    return 1;
  }
  std::optional<std::string> failure;
  if (arguments.front() == "--install" && arguments.size() <= 2) {
    const std::string source = arguments.size() == 2 ? arguments[1] : ownBundle;
    failure = installBundle(fs::absolute(source).lexically_normal().string(), *places);
    if (!failure) {
      std::printf(
          "Quorvel is installed in %s.\nStart it from the application menu, or with the "
          "command %s.\n",
          places->bundle.c_str(), places->command.c_str());
    }
  } else if (arguments.front() == "--uninstall" &&
             (arguments.size() == 1 ||
              (arguments.size() == 2 && arguments[1] == "--remove-data"))) {
    std::vector<std::string> dataFolders;
    if (arguments.size() == 2) {
      const Paths paths = makePaths(places->bundle, Options{}, userDataFolder());
      dataFolders = {chosenDataDir(std::nullopt, paths.locationFile, paths.defaultData),
                     paths.support};
    }
    failure = uninstall(*places, dataFolders);
    if (!failure) {
      std::printf(dataFolders.empty() ? "Quorvel is removed. Its data folder stays where it is.\n"
                                      : "Quorvel is removed, and its data with it.\n");
    }
  } else {
    std::fputs("usage: Quorvel --install [BUNDLE] | --uninstall [--remove-data]\n", stderr);
    return 2;
  }
  if (failure) {
    std::fprintf(stderr, "%s\n", failure->c_str());
    return 1;
  }
  return 0;
}

}  // namespace quorvel::launcher
