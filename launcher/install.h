#pragma once

// Installing the application for one user, without root: the bundle in
// ~/.local/lib/quorvel/Quorvel.app (beside it bundleswap can exchange it), the quorvel command
// in ~/.local/bin, the desktop entry and icons in the XDG data folder; and removing them again.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quorvel::launcher {

struct InstallPlaces {
  std::string bundle;   // the installed bundle
  std::string command;  // the quorvel command
};

// The places under home; absent without an absolute home.
std::optional<InstallPlaces> installPlaces(const std::string& home);

// A process other than this one whose executable lies inside the bundle, if any.
std::optional<pid_t> runningFrom(const std::string& bundle);

// The text of the quorvel command that starts the bundle's launcher.
std::string commandScript(const std::string& bundle);

// Puts the source bundle in place: copied beside the installed one, which it replaces in one
// exchange of the two folders; then the command, the desktop entry and the icons. Refused while
// the installed Quorvel runs. The sentence for the user on failure.
std::optional<std::string> installBundle(const std::string& source, const InstallPlaces& places);

// Removes what installBundle put down and nothing else; the data folders listed go too (the
// data folder and the support folder, when the user asks). Refused while Quorvel runs.
std::optional<std::string> uninstall(const InstallPlaces& places,
                                     const std::vector<std::string>& dataFolders);

// "--install [BUNDLE]" (this bundle when none is named) and "--uninstall [--remove-data]",
// run for the user in a terminal; what was done or why not goes to standard output or
// standard error. The exit status.
int installCommand(const std::vector<std::string>& arguments, const std::string& ownBundle);

}  // namespace quorvel::launcher
