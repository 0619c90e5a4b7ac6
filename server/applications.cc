#include "server/applications.h"

#include <algorithm>
#include <charconv>
#include <filesystem>

#include "common/files.h"
#include "common/text.h"

namespace sonacap {
namespace {

std::string procPath(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// systemd escapes a "-" inside a unit name's parts as "\x2d".
std::string unescapeUnit(std::string_view part) {
  std::string plain;
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (part.substr(i, 4) == "\\x2d") {
      plain += '-';
      i += 3;
    } else {
      plain += part[i];
    }
  }
  return plain;
}

void addOnce(std::vector<std::string>& names, std::string name) {
  if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
    names.push_back(std::move(name));
  }
}

}  // namespace

std::optional<std::string> applicationIdOfCgroup(std::string_view cgroup) {
  while (!cgroup.empty() && (cgroup.back() == '\n' || cgroup.back() == '\r')) {
    cgroup.remove_suffix(1);
  }
  std::string_view unit = cgroup.substr(cgroup.rfind('/') + 1);
  // app[-<launcher>]-<id>-<random>.scope or app[-<launcher>]-<id>[@<random>].service
  if (!unit.starts_with("app-")) return std::nullopt;
  unit.remove_prefix(4);
  if (unit.ends_with(".scope")) {
    unit.remove_suffix(6);
    const std::size_t random = unit.rfind('-');
    if (random == std::string_view::npos) return std::nullopt;
    unit = unit.substr(0, random);
  } else if (unit.ends_with(".service")) {
    unit.remove_suffix(8);
    unit = unit.substr(0, unit.find('@'));
  } else {
    return std::nullopt;
  }
  // A "-" left is the one after the launcher: the id's own are escaped.
  const std::size_t launcher = unit.find('-');
  if (launcher != std::string_view::npos) unit.remove_prefix(launcher + 1);
  if (unit.empty()) return std::nullopt;
  return unescapeUnit(unit);
}

std::optional<std::string> flatpakIdOfInfo(std::string_view info) {
  bool inApplication = false;
  for (const std::string& raw : quorvel::split(info, '\n', false)) {
    const std::string line = quorvel::trimWhitespace(raw);
    if (line.starts_with('[')) {
      inApplication = line == "[Application]";
    } else if (inApplication && line.starts_with("name=")) {
      return line.substr(5);
    }
  }
  return std::nullopt;
}

std::optional<pid_t> parentOfStat(std::string_view stat) {
  // "pid (name) state ppid ...": the name may hold spaces and parentheses of its own.
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 4 >= stat.size()) return std::nullopt;
  std::string_view rest = stat.substr(close + 2);
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(space + 1);
  pid_t parent = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
  if (error != std::errc{} || end == rest.data()) return std::nullopt;
  return parent;
}

std::vector<std::string> applicationNames(pid_t pid, const std::vector<std::string>& told) {
  std::vector<std::string> names;
  if (pid > 0) {
    if (auto cgroup = quorvel::readFile(procPath(pid, "cgroup"))) {
      const std::vector<std::string> lines = quorvel::split(*cgroup, '\n', false);
      if (!lines.empty()) {
        if (auto id = applicationIdOfCgroup(lines.back())) addOnce(names, *id);
      }
    }
    if (auto info = quorvel::readFile(procPath(pid, "root/.flatpak-info"))) {
      if (auto id = flatpakIdOfInfo(*info)) addOnce(names, *id);
    }
    if (auto environment = quorvel::readFile(procPath(pid, "environ"))) {
      for (const std::string& variable : quorvel::split(*environment, '\0', false)) {
        constexpr std::string_view kLaunched = "GIO_LAUNCHED_DESKTOP_FILE=";
        if (variable.starts_with(kLaunched)) {
          std::string file = std::filesystem::path(variable.substr(kLaunched.size())).filename();
          if (file.ends_with(".desktop")) file.resize(file.size() - 8);
          addOnce(names, file);
        }
      }
    }
    std::error_code error;
    const auto executable = std::filesystem::read_symlink(procPath(pid, "exe"), error);
    if (!error) addOnce(names, executable.filename().string());
  }
  for (const std::string& name : told) addOnce(names, name);
  return names;
}

bool namesOneOf(const std::vector<std::string>& names, const std::vector<std::string>& asked) {
  for (std::string_view wanted : asked) {
    if (wanted.ends_with(".desktop")) wanted.remove_suffix(8);
    if (std::find(names.begin(), names.end(), wanted) != names.end()) return true;
  }
  return false;
}

bool descendsFrom(pid_t pid, const std::set<pid_t>& roots) {
  // The chain up to init is short; the bound guards against a loop from reused pids.
  for (int step = 0; step < 64 && pid > 1; ++step) {
    if (roots.count(pid) != 0) return true;
    const auto stat = quorvel::readFile(procPath(pid, "stat"));
    const std::optional<pid_t> parent = stat ? parentOfStat(*stat) : std::nullopt;
    if (!parent) return false;
    pid = *parent;
  }
  return false;
}

}  // namespace sonacap
