#include "server/x11_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace sonacap {
namespace {

struct XFreeDelete {
  void operator()(void* data) const {
    if (data != nullptr) XFree(data);
  }
};

// The items of a window property of format 32 (as longs, as Xlib hands them over), or of
// format 8 as bytes.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  std::unique_ptr<unsigned char, XFreeDelete> data;
};

std::optional<Property> property(Display* display, Window window, const char* name,
                                 Atom type = AnyPropertyType) {
  Property found;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const Atom atom = XInternAtom(display, name, False);
  if (XGetWindowProperty(display, window, atom, 0, 1 << 20, False, type, &found.type, &found.format,
                         &found.items, &after, &data) != Success ||
      data == nullptr) {
    return std::nullopt;
  }
  found.data.reset(data);
  if (found.type == None) return std::nullopt;
  return found;
}

std::vector<Window> windowList(const Property& list) {
  if (list.format != 32) return {};
  const auto* items = reinterpret_cast<const unsigned long*>(list.data.get());
  return std::vector<Window>(items, items + list.items);
}

std::optional<Window> windowProperty(Display* display, Window window, const char* name) {
  const auto found = property(display, window, name, XA_WINDOW);
  if (!found || found->items == 0) return std::nullopt;
  return windowList(*found).front();
}

// Errors about windows that went away between listing and asking are expected.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

// Whether the window manager that published its lists still runs: its check window exists and
// names itself.
bool windowManagerRuns(Display* display) {
  const Window root = DefaultRootWindow(display);
  const std::optional<Window> check = windowProperty(display, root, "_NET_SUPPORTING_WM_CHECK");
  if (!check) return false;
  return windowProperty(display, *check, "_NET_SUPPORTING_WM_CHECK") == check;
}

std::string titleOf(Display* display, Window window) {
  if (auto name = property(display, window, "_NET_WM_NAME"); name && name->format == 8) {
    return std::string(reinterpret_cast<const char*>(name->data.get()), name->items);
  }
  XTextProperty text{};
  if (XGetWMName(display, window, &text) == 0 || text.value == nullptr) return "";
  std::string title(reinterpret_cast<const char*>(text.value), text.nitems);
  XFree(text.value);
  return title;
}

pid_t pidOf(Display* display, Window window) {
  if (auto pid = property(display, window, "_NET_WM_PID", XA_CARDINAL); pid && pid->items > 0) {
    return static_cast<pid_t>(*reinterpret_cast<const unsigned long*>(pid->data.get()));
  }
  // The X server knows the pid of a local client even when the client does not say it.
  int eventBase = 0;
  int errorBase = 0;
  if (!XResQueryExtension(display, &eventBase, &errorBase)) return 0;
  XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
  long count = 0;
  XResClientIdValue* values = nullptr;
  if (XResQueryClientIds(display, 1, &spec, &count, &values) != Success) return 0;
  pid_t pid = 0;
  for (long i = 0; i < count && pid == 0; ++i) {
    if (XResGetClientIdType(&values[i]) == XRES_CLIENT_ID_PID) pid = XResGetClientPid(&values[i]);
  }
  XResClientIdsDestroy(count, values);
  return pid > 0 ? pid : 0;
}

std::optional<DesktopWindow> describe(Display* display, Window window) {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display, window, &attributes) == 0 ||
      attributes.map_state != IsViewable) {
    return std::nullopt;
  }
  XClassHint hint{};
  if (XGetClassHint(display, window, &hint) == 0) return std::nullopt;
  DesktopWindow described;
  described.id = window;
  described.application = hint.res_class != nullptr ? hint.res_class : "";
  if (hint.res_name != nullptr) XFree(hint.res_name);
  if (hint.res_class != nullptr) XFree(hint.res_class);
  described.title = titleOf(display, window);
  described.pid = pidOf(display, window);
  Window child = 0;
  XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &described.area.x,
                        &described.area.y, &child);
  described.area.width = attributes.width;
  described.area.height = attributes.height;
  return described;
}

}  // namespace

std::vector<DesktopMonitor> desktopMonitors(Display* display) {
  std::vector<DesktopMonitor> monitors;
  int count = 0;
  XRRMonitorInfo* infos = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  for (int i = 0; i < count; ++i) {
    char* name = XGetAtomName(display, infos[i].name);
    DesktopMonitor monitor{name != nullptr ? name : "",
                           {infos[i].x, infos[i].y, infos[i].width, infos[i].height}};
    if (name != nullptr) XFree(name);
    if (infos[i].primary) {
      monitors.insert(monitors.begin(), std::move(monitor));
    } else {
      monitors.push_back(std::move(monitor));
    }
  }
  if (infos != nullptr) XRRFreeMonitors(infos);
  if (monitors.empty()) {
    const int screen = DefaultScreen(display);
    monitors.push_back(
        {"screen", {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)}});
  }
  return monitors;
}

std::vector<DesktopWindow> desktopWindows(Display* display) {
  const auto previous = XSetErrorHandler(ignoreErrors);
  const Window root = DefaultRootWindow(display);
  std::vector<Window> candidates;
  if (windowManagerRuns(display)) {
    if (auto list = property(display, root, "_NET_CLIENT_LIST_STACKING", XA_WINDOW)) {
      candidates = windowList(*list);
    } else if (auto plain = property(display, root, "_NET_CLIENT_LIST", XA_WINDOW)) {
      candidates = windowList(*plain);
    }
  } else {
    Window parent = 0;
    Window rootReturn = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) != 0) {
      candidates.assign(children, children + count);
      if (children != nullptr) XFree(children);
    }
  }
  std::vector<DesktopWindow> windows;
  for (const Window window : candidates) {
    if (auto described = describe(display, window)) windows.push_back(std::move(*described));
  }
  XSync(display, False);
  XSetErrorHandler(previous);
  return windows;
}

std::vector<DesktopApplication> desktopApplications(const std::vector<DesktopWindow>& windows) {
  std::vector<DesktopApplication> applications;
  for (const DesktopWindow& window : windows) {
    auto found =
        std::find_if(applications.begin(), applications.end(),
                     [&](const DesktopApplication& a) { return a.name == window.application; });
    if (found == applications.end()) {
      applications.push_back({window.application, {}, {}});
      found = std::prev(applications.end());
    }
    found->windows.push_back(window);
    if (window.pid > 0) found->pids.insert(window.pid);
  }
  return applications;
}

Rect boundingRect(const std::vector<Rect>& areas) {
  if (areas.empty()) return {};
  int left = areas.front().x;
  int top = areas.front().y;
  int right = left + areas.front().width;
  int bottom = top + areas.front().height;
  for (const Rect& area : areas) {
    left = std::min(left, area.x);
    top = std::min(top, area.y);
    right = std::max(right, area.x + area.width);
    bottom = std::max(bottom, area.y + area.height);
  }
  return {left, top, right - left, bottom - top};
}

Rect letterbox(int innerWidth, int innerHeight, int outerWidth, int outerHeight) {
  if (innerWidth <= 0 || innerHeight <= 0 || outerWidth <= 0 || outerHeight <= 0) return {};
  // Whichever side fills first decides the scale; integer arithmetic keeps it exact.
  int width = outerWidth;
  int height = static_cast<int>(static_cast<long long>(innerHeight) * outerWidth / innerWidth);
  if (height > outerHeight) {
    height = outerHeight;
    width = static_cast<int>(static_cast<long long>(innerWidth) * outerHeight / innerHeight);
  }
  width = std::max(width, 1);
  height = std::max(height, 1);
  return {(outerWidth - width) / 2, (outerHeight - height) / 2, width, height};
}

}  // namespace sonacap
