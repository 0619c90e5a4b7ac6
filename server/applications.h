#pragma once

// Which application a process belongs to, read from /proc: the names a user may give it and
// the processes it started.

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sonacap {

// The desktop-file id of the application a process runs as, from the name of the systemd
// unit its desktop started it in ("app-gnome-org.gnome.Totem-2211.scope" → "org.gnome.Totem",
// "app-flatpak-org.mozilla.firefox-1234.scope" → "org.mozilla.firefox"), given the last line
// of /proc/PID/cgroup; absent when the unit is not an application's.
std::optional<std::string> applicationIdOfCgroup(std::string_view cgroup);

// The Flatpak id in a sandbox's /.flatpak-info ("[Application]" "name=...").
std::optional<std::string> flatpakIdOfInfo(std::string_view info);

// The parent's pid from the text of /proc/PID/stat.
std::optional<pid_t> parentOfStat(std::string_view stat);

// The names a user may give the application of process pid: its desktop-file id, its Flatpak
// id and its executable's name, with the names the sound server was told (binary, id), if any.
std::vector<std::string> applicationNames(pid_t pid, const std::vector<std::string>& told);

// Whether one of asked names the application that has these names: the same name, or the
// same with ".desktop" after it.
bool namesOneOf(const std::vector<std::string>& names, const std::vector<std::string>& asked);

// Whether pid is one of roots or was started by one of them, however far down.
bool descendsFrom(pid_t pid, const std::set<pid_t>& roots);

}  // namespace sonacap
