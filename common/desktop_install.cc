#include "common/desktop_install.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/files.h"
#include "common/process.h"
#include "common/text.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// The string escapes of a desktop entry's values, undone and applied.
std::string unescapeValue(const std::string& value) {
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      text += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's':
        text += ' ';
        break;
      case 'n':
        text += '\n';
        break;
      case 't':
        text += '\t';
        break;
      case 'r':
        text += '\r';
        break;
      default:
        text += value[i];
    }
  }
  return text;
}

std::string escapeValue(const std::string& text) {
  std::string value;
  for (const char c : text) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value;
}

// A path as the quoted first argument of an Exec command, before the value's string escapes:
// a backslash before the characters that are special inside the quotes, percent doubled.
std::string execArgument(const std::string& path) {
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

// What follows the first argument of an Exec command (quoted or bare).
std::string afterProgram(const std::string& command) {
  size_t end = 0;
  if (!command.empty() && command.front() == '"') {
    end = 1;
    while (end < command.size() && command[end] != '"') end += command[end] == '\\' ? 2 : 1;
    end = std::min(end + 1, command.size());
  } else {
    end = std::min(command.find(' '), command.size());
  }
  return command.substr(end);
}

// Asks the desktop's cache tools, where they are installed, to read the folders again.
void refreshCaches(const std::string& dataFolder) {
  const std::vector<std::vector<std::string>> commands = {
      {"update-desktop-database", "-q", joinPath(dataFolder, "applications")},
      {"gtk-update-icon-cache", "-q", "-t", "-f", joinPath(dataFolder, "icons/hicolor")},
  };
  for (const auto& command : commands) {
    SpawnRequest request;
    request.executable = command.front();
    request.arguments.assign(command.begin() + 1, command.end());
    request.searchPath = true;
    std::string error;
    runCaptured(request, &error);
  }
}

bool writeThrough(const std::string& path, const std::string& bytes) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  if (writeFile(temporary, bytes) && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace

std::string userDataFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') return dataHome;
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') return {};
  return joinPath(home, ".local/share");
}

std::string desktopEntryFor(const std::string& entry, const std::string& executable) {
  std::vector<std::string> lines = split(entry, '\n', true);
  for (auto& line : lines) {
    if (!line.starts_with("Exec=")) continue;
    const std::string command = unescapeValue(line.substr(5));
    line = "Exec=" + escapeValue(execArgument(executable) + afterProgram(command));
  }
  return join(lines, "\n");
}

std::vector<DesktopFile> desktopFiles(const std::string& bundlePath,
                                      const std::string& dataFolder) {
  const std::string resources = joinPath(bundlePath, "Contents/Resources");
  std::vector<DesktopFile> files = {{joinPath(resources, "quorvel.desktop"),
                                     joinPath(dataFolder, "applications/quorvel.desktop")}};
  const fs::path icons = joinPath(resources, "icons");
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(icons, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file()) continue;
    files.push_back({it->path().string(),
                     joinPath(dataFolder, "icons/" + fs::relative(it->path(), icons).string())});
  }
  return files;
}

std::optional<std::string> registerDesktopEntry(const std::string& bundlePath,
                                                const std::string& executable) {
  const std::string dataFolder = userDataFolder();
  if (dataFolder.empty()) return "no home folder to install the desktop entry in";
  for (const DesktopFile& file : desktopFiles(bundlePath, dataFolder)) {
    std::optional<std::string> bytes = readFile(file.from);
    if (!bytes) return "cannot read " + file.from;
    if (file.to.ends_with(".desktop")) bytes = desktopEntryFor(*bytes, executable);
    if (!writeThrough(file.to, *bytes)) return "cannot write " + file.to;
  }
  refreshCaches(dataFolder);
  return std::nullopt;
}

void unregisterDesktopEntry(const std::string& bundlePath) {
  const std::string dataFolder = userDataFolder();
  if (dataFolder.empty()) return;
  const std::vector<DesktopFile> files = desktopFiles(bundlePath, dataFolder);
  std::error_code error;
  for (const DesktopFile& file : files) fs::remove(file.to, error);
  refreshCaches(dataFolder);
  // A cache that describes nothing any more goes too, and then the folders left empty.
  const std::pair<const char*, const char*> caches[] = {{"applications", "mimeinfo.cache"},
                                                        {"icons/hicolor", "icon-theme.cache"}};
  for (const auto& [folder, cache] : caches) {
    const fs::path root = joinPath(dataFolder, folder);
    bool described = false;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      described |= !it->is_directory() && it->path().filename() != cache;
    }
    if (!described) fs::remove(root / cache, error);
  }
  for (const DesktopFile& file : files) {
    for (fs::path folder = fs::path(file.to).parent_path();
         folder.string().size() > dataFolder.size() && fs::is_empty(folder, error) && !error;
         folder = folder.parent_path()) {
      fs::remove(folder, error);
    }
  }
}

}  // namespace quorvel
