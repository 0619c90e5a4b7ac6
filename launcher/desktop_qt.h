#pragma once

#include <memory>
#include <string>
#include <vector>

#include "launcher/desktop.h"

namespace quorvel::launcher {

// Creates the application object: the graphical desktop (tray menu, message boxes, the
// browser) when there is a display, the console desktop (alerts on standard error, answers
// from a terminal) when there is none.
std::shared_ptr<Desktop> makeDesktop(int& argc, char** argv);

// The user's interface languages, most preferred first, with "-" separators.
std::vector<std::string> preferredLanguages();

// The per-user data folder of the desktop (the XDG data home).
std::string userDataHome();

}  // namespace quorvel::launcher
