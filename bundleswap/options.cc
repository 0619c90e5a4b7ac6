#include "bundleswap/options.h"

#include <charconv>
#include <regex>

#include "common/text.h"

namespace bundleswap {

std::optional<std::int32_t> parseWaitPid(const std::string& text) {
  std::int32_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, value);
  if (first == last || error != std::errc() || end != last || value <= 0) return std::nullopt;
  return value;
}

Settings parseArguments(const std::vector<std::string>& arguments) {
  Settings settings;
  const std::vector<std::pair<std::string, std::string Settings::*>> valued = {
      {"--app", &Settings::appPath},
      {"--new", &Settings::newPath},
      {"--version", &Settings::expectedVersion},
      {"--bundle-id", &Settings::bundleId},
      {"--team", &Settings::teamId},
      {"--result", &Settings::resultPath},
      {"--log", &Settings::logPath},
      {"--cleanup", &Settings::cleanupPath}};
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasNext = i + 1 < arguments.size();
    bool matched = false;
    for (const auto& [option, field] : valued) {
      if (argument != option) continue;
      settings.*field = hasNext ? arguments[++i] : std::string();
      matched = true;
    }
    if (matched) continue;
    if (argument == "--test") {
      settings.wantTest = true;
    } else if (!hasNext) {
      continue;
    } else if (argument == "--wait") {
      if (const auto pid = parseWaitPid(arguments[++i])) settings.waitPids.push_back(*pid);
    } else if (argument == "--relaunch-arg") {
      settings.relaunchArgs.push_back(arguments[++i]);
    } else if (argument == "--relaunch-env") {
      const std::string& entry = arguments[++i];
      if (entry.starts_with("QUORVEL_") && entry.find('=') != std::string::npos) {
        settings.relaunchEnv.push_back(entry);
      }
    }
  }
  return settings;
}

bool settingsValid(const Settings& settings) {
  static const std::regex team("^[A-Z0-9]{10}$");
  static const std::regex identifier("^[A-Za-z0-9.-]+$");
  const std::string& version = settings.expectedVersion;
  const bool versionNamesOneComponent = !version.empty() && version != "." && version != ".." &&
                                        version.find('/') == std::string::npos &&
                                        version.find('\0') == std::string::npos;
  return !settings.appPath.empty() && !settings.newPath.empty() && versionNamesOneComponent &&
         !settings.bundleId.empty() && std::regex_match(settings.teamId, team) &&
         std::regex_match(settings.bundleId, identifier);
}

std::string standardisePath(const std::string& path, const std::string& workingDirectory) {
  const std::string absolute = path.starts_with("/") ? path : workingDirectory + "/" + path;
  std::vector<std::string> kept;
  for (const auto& component : quorvel::split(absolute, '/', false)) {
    if (component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(component);
  }
  return "/" + quorvel::join(kept, "/");
}

Places placesFor(const std::string& appPath, const std::string& version, int pid,
                 const std::string& workingDirectory) {
  Places places;
  places.target = standardisePath(appPath, workingDirectory);
  const auto slash = places.target.rfind('/');
  places.parent = slash == 0 ? "/" : places.target.substr(0, slash);
  std::string name = places.target.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  const std::string folder = places.parent == "/" ? "" : places.parent;
  places.staging = folder + "/." + name + "-" + version + "-" + std::to_string(pid) + ".app";
  places.aside = folder + "/." + name + "-old-" + std::to_string(pid) + ".app";
  return places;
}

}  // namespace bundleswap
