#pragma once

// What an X11 desktop offers for recording: its monitors, and its windows as the window
// manager lists them, grouped into applications.

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

// Xlib's own names, without its macros, which clash with much else.
typedef struct _XDisplay Display;

namespace sonacap {

using XWindow = unsigned long;

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

struct DesktopMonitor {
  std::string name;
  Rect area;
};

struct DesktopWindow {
  XWindow id = 0;
  std::string title;
  std::string application;  // the class part of WM_CLASS
  pid_t pid = 0;            // 0 when neither the window nor the X server tells
  Rect area;                // on the root window
};

// The windows of one application, bottom to top.
struct DesktopApplication {
  std::string name;
  std::vector<DesktopWindow> windows;
  std::set<pid_t> pids;
};

// The monitors RandR reports, the primary first; the whole screen when there are none.
std::vector<DesktopMonitor> desktopMonitors(Display* display);

// The window manager's client windows, bottom to top; the viewable top-level windows with a
// WM_CLASS when no window manager runs (its list may outlive it).
std::vector<DesktopWindow> desktopWindows(Display* display);

// The windows grouped by application, in the order each application's first window comes.
std::vector<DesktopApplication> desktopApplications(const std::vector<DesktopWindow>& windows);

// The rectangle that holds them all.
Rect boundingRect(const std::vector<Rect>& areas);

// Where a picture of size inner sits in outer, as large as fits with its shape kept, centred.
Rect letterbox(int innerWidth, int innerHeight, int outerWidth, int outerHeight);

}  // namespace sonacap
