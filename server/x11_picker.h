#pragma once

#include <functional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "server/x11_desktop.h"

namespace sonacap {

// What the user chose to record on an X11 desktop.
struct X11Choice {
  enum class Kind { display, window, application };
  Kind kind = Kind::display;
  Rect area;                     // on the root window: the monitor, the window, or all of them
  std::vector<XWindow> windows;  // the window, or the application's, bottom to top
  std::set<pid_t> pids;          // the processes whose sound goes with it
};

struct PickerCancelled {};

// Shows the picker, a window of its own with the desktop's displays, windows and applications,
// each with a small live picture, and waits for Record or Cancel. It opens with the first
// display selected and focused; arrow keys move, Ctrl+Tab changes the kind, Return records,
// Escape and closing the window cancel. shown is called once it is on screen. Runs a Qt
// application for its time, on the calling thread; the failure names what could not be done.
std::variant<X11Choice, PickerCancelled, std::string> runX11Picker(
    const std::function<void()>& shown);

}  // namespace sonacap
