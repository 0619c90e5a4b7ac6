#pragma once

// The application's place in the user's desktop: its desktop entry and its icons in the XDG
// folders, written from what the bundle carries.

#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// $XDG_DATA_HOME when it is an absolute path, otherwise ~/.local/share; empty without a home.
std::string userDataFolder();

// The desktop entry text with every Exec line's program replaced by the executable.
std::string desktopEntryFor(const std::string& entry, const std::string& executable);

// Where the bundle's desktop entry and icons go in the user's data folder, and what they are:
// the entry "applications/quorvel.desktop" and each file under the bundle's
// Contents/Resources/icons, by the same path under "icons".
struct DesktopFile {
  std::string from;  // in the bundle
  std::string to;    // in the user's data folder
};
std::vector<DesktopFile> desktopFiles(const std::string& bundlePath, const std::string& dataFolder);

// Writes the bundle's desktop entry, pointed at executable, and its icons into the user's data
// folder, each file through a temporary name, and refreshes the desktop's caches of them where
// their tools are installed. The failure's description, if any.
std::optional<std::string> registerDesktopEntry(const std::string& bundlePath,
                                                const std::string& executable);

// Removes what registerDesktopEntry wrote for the bundle, refreshes the caches, and removes
// those caches and folders that are left describing or holding nothing.
void unregisterDesktopEntry(const std::string& bundlePath);

}  // namespace quorvel
