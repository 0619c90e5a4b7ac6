// sonacap --screen end to end on an X11 desktop without a portal (Xvfb and openbox, started by
// the test): the recorder's own picker driven with xdotool, test windows that draw a colour
// and play a tone each, and a private sound server.

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/process.h"
#include "server/link.h"
#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

constexpr const char* kPickerTitle = "^Choose what to record$";

// The red, green and blue levels at (x, y) (both even) of the movie's picture number frame.
std::optional<std::array<int, 3>> pixelOf(const std::string& movie, int frame, int x, int y) {
  const auto raw =
      runTool("ffmpeg", {"-v", "error", "-i", movie, "-vf",
                         "select=eq(n\\," + std::to_string(frame) +
                             "),crop=2:2:" + std::to_string(x) + ":" + std::to_string(y),
                         "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  if (!raw || raw->size() < 3) return std::nullopt;
  return std::array<int, 3>{static_cast<unsigned char>((*raw)[0]),
                            static_cast<unsigned char>((*raw)[1]),
                            static_cast<unsigned char>((*raw)[2])};
}

class X11ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ::setenv("QUORVEL_SCREEN", "x11", 1);
    ASSERT_TRUE(desktop.started()) << desktop.log();
    ASSERT_TRUE(sound.started()) << sound.log();
  }

  void TearDown() override {
    // A key held through a closing window would repeat into the next test's.
    runTool("xdotool", {"keyup", "ctrl", "Tab", "Return", "Escape"});
    for (const pid_t helper : helpers) {
      ::kill(helper, SIGTERM);
      waitWithin(helper, 5s);
    }
    ::unsetenv("QUORVEL_SCREEN");
  }

  // A window of colour at geometry that plays a tone at hertz; its pid.
  pid_t toneWindow(const std::string& title, const std::string& colour, int hertz,
                   const std::string& geometry) {
    quorvel::SpawnRequest request;
    request.executable = TONE_WINDOW;
    request.arguments = {title, colour, std::to_string(hertz), geometry};
    const pid_t pid = quorvel::spawnProcess(request).pid;
    EXPECT_GT(pid, 0);
    helpers.push_back(pid);
    EXPECT_TRUE(
        runTool("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}));
    return pid;
  }

  pid_t launch() {
    quorvel::SpawnRequest request;
    request.executable = SONACAP_EXECUTABLE;
    request.arguments = {"--socket", socketPath, "--screen", movie};
    const pid_t pid = quorvel::spawnProcess(request).pid;
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(server.accept());
    EXPECT_EQ(server.nextEvent()["event"], "hello");
    EXPECT_EQ(server.nextEvent(), nlohmann::json({{"event", "picking"}}));
    return pid;
  }

  // Activates the picker and presses each key in turn.
  void pressInPicker(const std::vector<std::string>& keys) {
    const auto found = runTool(
        "timeout", {"20", "xdotool", "search", "--sync", "--onlyvisible", "--name", kPickerTitle});
    ASSERT_TRUE(found) << "the picker did not show";
    const std::string window = found->substr(0, found->find('\n'));
    ASSERT_TRUE(runTool("xdotool", {"windowactivate", "--sync", window}));
    for (const std::string& key : keys) {
      ASSERT_TRUE(runTool("xdotool", {"key", key}));
      std::this_thread::sleep_for(200ms);
    }
  }

  // "started" and "recording", in either order; the started event.
  nlohmann::json started(std::vector<float>* audio) {
    nlohmann::json startedEvent;
    bool recording = false;
    for (int i = 0; i < 2; ++i) {
      const nlohmann::json event = server.nextEvent(20s, audio);
      if (event.is_object() && event["event"] == "started") startedEvent = event;
      if (event == nlohmann::json({{"event", "recording"}})) recording = true;
    }
    EXPECT_TRUE(recording);
    return startedEvent;
  }

  X11Desktop desktop;
  SoundServer sound;
  TempFolder folder;
  std::string socketPath = folder.path() + "/server.sock";
  std::string movie = folder.path() + "/movie.mp4";
  TestServer server{socketPath};
  std::vector<pid_t> helpers;
};

TEST_F(X11ScreenTest, EscapeCancels) {
  const pid_t pid = launch();
  pressInPicker({"Escape"});
  EXPECT_EQ(server.nextEvent(), nlohmann::json({{"event", "cancelled"}}));
  EXPECT_TRUE(waitWithin(pid, 10s).success());
}

// Without a session bus there is no portal, and the X server is taken without being asked
// for; Return records the display selected at the start.
TEST_F(X11ScreenTest, ReturnRecordsTheFirstDisplay) {
  ::unsetenv("QUORVEL_SCREEN");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  toneWindow("Red", "FF0000", 1000, "400x300+0+0");
  const pid_t pid = launch();
  pressInPicker({"Return"});
  std::vector<float> audio;
  EXPECT_EQ(started(&audio), nlohmann::json::parse(R"({"event":"started","screen":true,)"
                                                   R"("width":1920,"height":1080,)"
                                                   R"("rate":48000.0,"channels":2})"));
  EXPECT_EQ(server.nextEvent(2s, &audio), nullptr);
  server.sendBytes("S");
  EXPECT_EQ(server.nextEvent(30s, &audio)["event"], "recorded");
  EXPECT_TRUE(waitWithin(pid, 10s).success());
  EXPECT_EQ(ffprobe(movie, "stream=codec_name,width,height,r_frame_rate"),
            "h264,1920,1080,10/1\naac,0/0\n");
  // The red window in its corner, the desktop's black beside it. The points looked at are
  // away from the edges of the moving bar, where the movie's colour is a blend.
  const auto red = pixelOf(movie, 10, 220, 150);
  const auto black = pixelOf(movie, 10, 1000, 700);
  ASSERT_TRUE(red && black);
  // Red, or the white bar that crosses it; not the black desktop.
  EXPECT_GT((*red)[0], 200);
  EXPECT_LT((*black)[0], 50);
  // A display carries the whole output's sound.
  ASSERT_GT(audio.size(), 24000u);
  const std::vector<float> last(audio.end() - 24000, audio.end());
  EXPECT_NEAR(peakFrequency(last, 48000, 500, 2000, 2), 1000, 4);
}

// A window is its own picture, covered or not, and its own program's sound only; closing it
// ends the recording with "stopped" and a whole movie.
TEST_F(X11ScreenTest, AWindowIsItsPictureAndItsSoundUntilItCloses) {
  toneWindow("Blue", "0000FF", 600, "640x360+300+200");
  const pid_t red = toneWindow("Red", "FF0000", 1000, "640x360+100+100");
  const pid_t pid = launch();
  // Windows, topmost first: the red one.
  pressInPicker({"ctrl+Tab", "Return"});
  std::vector<float> audio;
  const nlohmann::json startedEvent = started(&audio);
  EXPECT_EQ(startedEvent["width"], 640);
  EXPECT_EQ(startedEvent["height"], 360);
  // Covered by the blue window now; the recording still shows red. Then made narrower: it is
  // shown whole in the same picture size, with black beside it.
  ASSERT_TRUE(runTool("xdotool", {"search", "--name", "^Blue$", "windowraise"}));
  EXPECT_EQ(server.nextEvent(3s, &audio), nullptr);
  ASSERT_TRUE(runTool("xdotool", {"search", "--name", "^Red$", "windowsize", "320", "360"}));
  EXPECT_EQ(server.nextEvent(2s, &audio), nullptr);
  ::kill(red, SIGTERM);
  ASSERT_TRUE(waitWithin(red, 5s).success());
  const nlohmann::json stopped = server.nextEvent(10s, &audio);
  EXPECT_EQ(stopped["event"], "stopped") << stopped;
  const nlohmann::json recorded = server.nextEvent(30s, &audio);
  EXPECT_EQ(recorded["event"], "recorded") << recorded;
  EXPECT_TRUE(waitWithin(pid, 10s).success());

  EXPECT_EQ(ffprobe(movie, "stream=codec_name,width,height"), "h264,640,360\naac\n");
  const auto covered = pixelOf(movie, 20, 480, 300);
  const auto narrowed = pixelOf(movie, 45, 336, 180);
  const auto beside = pixelOf(movie, 45, 40, 180);
  ASSERT_TRUE(covered && narrowed && beside);
  // Red, or the white bar that crosses it; not the blue window over it.
  EXPECT_GT((*covered)[0], 200) << "the covered part is the window's own";
  EXPECT_GT((*narrowed)[0], 200);
  EXPECT_LT((*beside)[0] + (*beside)[1] + (*beside)[2], 60) << "no letterbox after the resize";
  ASSERT_GT(audio.size(), 72000u);
  const std::vector<float> middle(audio.begin() + 24000, audio.begin() + 72000);
  EXPECT_GT(amplitudeAt(middle, 1000), 0.3);
  EXPECT_LT(amplitudeAt(middle, 600), 0.02) << "another program's tone came in";
}

}  // namespace
}  // namespace sonacap
