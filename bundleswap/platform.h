#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bundleswap/report.h"

namespace bundleswap {

// The operations whose outcome tests must be able to choose: time, and the two renames of the
// exchange. Set once at start-up; linuxSystem() gives the real ones.
struct System {
  std::function<std::chrono::steady_clock::time_point()> now;
  std::function<void(std::chrono::milliseconds)> sleep;
  // Both return 0 or the error number.
  std::function<int(const std::string& first, const std::string& second)> exchange;
  std::function<int(const std::string& from, const std::string& to)> rename;
};

System linuxSystem();

// Whether the null signal reaches the process, or it exists but may not be signalled.
bool alive(std::int32_t pid);

// Copies the bundle with contents, modes, times, links and extended attributes kept; a bundle
// path that is a link is followed, and the copy is owned by the user running this.
ToolRun copyBundle(const std::string& from, const std::string& to);

// Deletes a file or a folder with everything in it; the error's description when it fails.
std::optional<std::string> removeItem(const std::string& path);

// Moves a file or folder out of its place, to a hidden name beside it that tells it is to be
// deleted; the new path, or absent when it cannot be moved.
std::optional<std::string> setAside(const std::string& path, int pid);

bool itemExists(const std::string& path);

// Starts the bundle's main executable detached in a new session, with the standard streams on
// the null device, the user's session environment (rebuilt from the server's, which this
// process inherited) plus the entries, and the arguments. Status 0
// once it runs; otherwise non-zero and the reason.
ToolRun startApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environmentEntries);

// Installs the bundle's desktop entry, pointed at the bundle, and its icons in the user's
// folders; nothing happens when that cannot be done.
void registerBundle(const std::string& bundlePath);

}  // namespace bundleswap
