#include "server/x11_desktop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "common/process.h"
#include "server/test_support.h"

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>

namespace sonacap {
namespace {

using namespace std::chrono_literals;
using testing::X11Desktop;

TEST(Letterbox, LargestFitCentred) {
  struct Case {
    int innerWidth, innerHeight, outerWidth, outerHeight;
    Rect expected;
  };
  const std::vector<Case> cases = {
      {800, 600, 800, 600, {0, 0, 800, 600}},    {400, 300, 800, 600, {0, 0, 800, 600}},
      {1000, 500, 800, 600, {0, 100, 800, 400}}, {500, 1000, 800, 600, {250, 0, 300, 600}},
      {1, 1000, 800, 600, {399, 0, 1, 600}},     {0, 10, 800, 600, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(letterbox(c.innerWidth, c.innerHeight, c.outerWidth, c.outerHeight), c.expected)
        << c.innerWidth << "x" << c.innerHeight;
  }
  EXPECT_EQ(boundingRect({{10, 20, 100, 50}, {-5, 40, 20, 100}}), (Rect{-5, 20, 115, 120}));
  EXPECT_EQ(boundingRect({}), Rect{});
}

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.emplace();
    ASSERT_TRUE(desktop->started()) << desktop->log();
    display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
  }

  void TearDown() override {
    for (const pid_t pid : notes) {
      ::kill(pid, SIGTERM);
      testing::waitWithin(pid, 5s);
    }
    if (display != nullptr) XCloseDisplay(display);
  }

  pid_t note(const std::string& title) {
    quorvel::SpawnRequest request;
    request.executable = "xmessage";
    request.arguments = {"-title", title, "-geometry", "300x80+100+100", title};
    request.searchPath = true;
    const pid_t pid = quorvel::spawnProcess(request).pid;
    if (pid > 0) notes.push_back(pid);
    return pid;
  }

  // The windows once count of them are there, or what there is after ten seconds.
  std::vector<DesktopWindow> windowsOnceThereAre(std::size_t count) {
    std::vector<DesktopWindow> windows;
    for (int i = 0; i < 200; ++i) {
      windows = desktopWindows(display);
      if (windows.size() >= count) break;
      std::this_thread::sleep_for(50ms);
    }
    return windows;
  }

  std::optional<X11Desktop> desktop;
  Display* display = nullptr;
  std::vector<pid_t> notes;
};

TEST_F(DesktopTest, MonitorsWindowsAndTheirApplications) {
  const std::vector<DesktopMonitor> monitors = desktopMonitors(display);
  ASSERT_FALSE(monitors.empty());
  EXPECT_EQ(monitors.front().area, (Rect{0, 0, 1920, 1080}));

  const pid_t first = note("First note");
  const pid_t second = note("Second note");
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  const std::vector<DesktopWindow> windows = windowsOnceThereAre(2);
  ASSERT_EQ(windows.size(), 2u);
  std::vector<std::string> titles;
  for (const DesktopWindow& window : windows) {
    titles.push_back(window.title);
    EXPECT_EQ(window.application, "Xmessage");
    EXPECT_GT(window.area.width, 0);
    EXPECT_TRUE(window.pid == first || window.pid == second) << window.pid;
  }
  std::sort(titles.begin(), titles.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"First note", "Second note"}));

  const std::vector<DesktopApplication> applications = desktopApplications(windows);
  ASSERT_EQ(applications.size(), 1u);
  EXPECT_EQ(applications.front().windows.size(), 2u);
  EXPECT_EQ(applications.front().pids, (std::set<pid_t>{first, second}));
}

// The window manager's list outlives it; a window opened after it ended is listed all the same.
TEST_F(DesktopTest, WithoutAWindowManagerTheWindowsThemselves) {
  ASSERT_GT(note("Before"), 0);
  ASSERT_EQ(windowsOnceThereAre(1).size(), 1u);
  desktop->stopWindowManager();
  ASSERT_GT(note("After"), 0);
  const std::vector<DesktopWindow> windows = windowsOnceThereAre(2);
  std::vector<std::string> titles;
  for (const DesktopWindow& window : windows) titles.push_back(window.title);
  std::sort(titles.begin(), titles.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"After", "Before"}));
}

}  // namespace
}  // namespace sonacap
