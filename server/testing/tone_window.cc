// A test program with a window and a sound: tone_window TITLE RRGGBB HERTZ [WIDTHxHEIGHT+X+Y].
// The window is filled with the colour and a white bar crosses it once a second; a child pacat
// plays a sine tone at HERTZ for as long as the window lives. Ends on SIGTERM or when its
// window is destroyed.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

volatile sig_atomic_t ending = 0;

// Starts pacat reading a mono float tone from a pipe; the pipe's writing end.
int startPlayer(pid_t& player) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  const char* argv[] = {
      "pacat",        "--playback",         "--raw", "--format=float32le", "--channels=1",
      "--rate=48000", "--latency-msec=200", nullptr};
  const int failed =
      posix_spawnp(&player, "pacat", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  if (failed != 0) {
    close(fds[1]);
    return -1;
  }
  return fds[1];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: tone_window TITLE RRGGBB HERTZ [WIDTHxHEIGHT+X+Y]\n", stderr);
    return 2;
  }
  const unsigned long colour = std::strtoul(argv[2], nullptr, 16);
  const double hertz = std::strtod(argv[3], nullptr);
  int x = 100, y = 100;
  unsigned width = 640, height = 360;
  if (argc > 4) XParseGeometry(argv[4], &x, &y, &width, &height);
  signal(SIGTERM, [](int) { ending = 1; });
  signal(SIGPIPE, SIG_IGN);

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  const int screen = DefaultScreen(display);
  const Window window =
      XCreateSimpleWindow(display, RootWindow(display, screen), x, y, width, height, 0, 0, colour);
  XStoreName(display, window, argv[1]);
  XClassHint hint{const_cast<char*>("tone_window"), const_cast<char*>("ToneWindow")};
  XSetClassHint(display, window, &hint);
  XSizeHints position{};
  position.flags = USPosition | USSize;
  position.x = x;
  position.y = y;
  position.width = static_cast<int>(width);
  position.height = static_cast<int>(height);
  XSetWMNormalHints(display, window, &position);
  Atom closing = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, window, &closing, 1);
  XSelectInput(display, window, ExposureMask | StructureNotifyMask);
  XMapWindow(display, window);
  GC gc = XCreateGC(display, window, 0, nullptr);

  pid_t player = -1;
  const int sound = startPlayer(player);
  std::thread writer([sound, hertz] {
    if (sound < 0) return;
    std::vector<float> block(4800);
    std::size_t n = 0;
    while (!ending) {
      for (float& sample : block) {
        sample = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * hertz * n++ / 48000.0));
      }
      if (write(sound, block.data(), block.size() * sizeof(float)) < 0) return;
    }
  });

  int frame = 0;
  while (!ending) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == DestroyNotify ||
          (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == closing)) {
        ending = 1;
      } else if (event.type == ConfigureNotify) {
        width = static_cast<unsigned>(event.xconfigure.width);
        height = static_cast<unsigned>(event.xconfigure.height);
      }
    }
    XSetForeground(display, gc, colour);
    XFillRectangle(display, window, gc, 0, 0, width, height);
    XSetForeground(display, gc, 0xFFFFFF);
    const int bar = static_cast<int>(width / 10);
    XFillRectangle(display, window, gc, (frame % 10) * bar, 0, static_cast<unsigned>(bar), height);
    XFlush(display);
    ++frame;
    pollfd wait{ConnectionNumber(display), POLLIN, 0};
    poll(&wait, 1, 100);
  }
  if (sound >= 0) close(sound);
  writer.join();
  if (player > 0) {
    kill(player, SIGTERM);
    waitpid(player, nullptr, 0);
  }
  XCloseDisplay(display);
  return 0;
}
