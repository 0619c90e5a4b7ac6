// sonacap --screen end to end, on a headless Wayland desktop with the screen-cast portal that
// the test starts: the portal's picker answered by a script, a moving picture on the screen
// and a tone on the default output.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/process.h"
#include "server/link.h"
#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

bool runRig(const std::vector<std::string>& args, std::string* output = nullptr) {
  quorvel::SpawnRequest request;
  request.executable = "bash";
  request.searchPath = true;
  request.arguments = {SCREEN_RIG_SCRIPT};
  request.arguments.insert(request.arguments.end(), args.begin(), args.end());
  std::string error;
  const auto result = quorvel::runCaptured(request, &error);
  if (output) *output = result ? result->output : error;
  return result && result->status.success();
}

class ScreenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig = new TempFolder();
    std::string log;
    rigUp = runRig({"start", rig->path()}, &log);
    if (!rigUp) std::fprintf(stderr, "%s\n", log.c_str());
  }
  static void TearDownTestSuite() {
    runRig({"stop", rig->path()});
    delete rig;
  }

  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(rigUp);
    // The recorder runs as the desktop's user: it must reach the socket and the movie's folder.
    ::chmod(folder.path().c_str(), 0777);
    ::chmod(socketPath.c_str(), 0777);
  }
  void TearDown() override {
    for (const pid_t helper : helpers) {
      ::kill(helper, SIGKILL);
      waitWithin(helper, 5s);
    }
  }

  // Starts a program in the desktop's session; its pid.
  pid_t inSession(const std::vector<std::string>& command) {
    quorvel::SpawnRequest request;
    request.executable = "bash";
    request.searchPath = true;
    request.arguments = {SCREEN_RIG_SCRIPT, "run", rig->path()};
    request.arguments.insert(request.arguments.end(), command.begin(), command.end());
    return quorvel::spawnProcess(request).pid;
  }

  pid_t launch(const std::string& output, const std::string& answer) {
    EXPECT_TRUE(runRig({"answer", rig->path(), answer}));
    const pid_t pid = inSession({SONACAP_EXECUTABLE, "--socket", socketPath, "--screen", output});
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(server.accept());
    EXPECT_EQ(nextEvent()["event"], "hello");
    return pid;
  }

  nlohmann::json nextEvent(std::chrono::milliseconds limit = 10s,
                           std::vector<float>* audio = nullptr) {
    return server.nextEvent(limit, audio);
  }

  // Shows a moving picture on the first output and plays a steady tone on the default output.
  void playSomething() {
    helpers.push_back(
        inSession({"gst-launch-1.0", "-q", "videotestsrc", "pattern=ball", "!",
                   "video/x-raw,width=640,height=360,framerate=10/1", "!", "waylandsink"}));
    helpers.push_back(inSession(
        {"gst-launch-1.0", "-q", "audiotestsrc", "freq=1000", "volume=0.5", "!", "pulsesink"}));
    std::this_thread::sleep_for(1s);
  }

  inline static TempFolder* rig = nullptr;
  inline static bool rigUp = false;
  TempFolder folder;
  std::string socketPath = folder.path() + "/server.sock";
  std::string movie = folder.path() + "/movie.mp4";
  TestServer server{socketPath};
  std::vector<pid_t> helpers;
};

TEST_F(ScreenTest, ACancelledPickerEndsWithStatusZero) {
  const pid_t pid = launch(movie, "CANCEL");
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "picking"}}));
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "cancelled"}}));
  const auto status = waitWithin(pid, 10s);
  EXPECT_TRUE(status.success()) << status.code;
}

TEST_F(ScreenTest, AMovieInAMissingFolderIsRefusedBeforeThePicker) {
  const pid_t pid = launch(folder.path() + "/missing/movie.mp4", "HEADLESS-1");
  EXPECT_EQ(nextEvent(),
            nlohmann::json::parse(R"({"event":"error","code":"nowrite",)"
                                  R"("message":"No such file or directory [errno 2]"})"));
  EXPECT_EQ(waitWithin(pid, 10s).code, 1);
}

TEST_F(ScreenTest, RecordsTheChosenOutputWithItsSound) {
  playSomething();
  const auto began = std::chrono::steady_clock::now();
  const pid_t pid = launch(movie, "HEADLESS-1");
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "picking"}}));
  std::vector<nlohmann::json> events;
  std::vector<float> audio;
  for (int i = 0; i < 2; ++i) events.push_back(nextEvent(10s, &audio));
  EXPECT_NE(std::find(events.begin(), events.end(),
                      nlohmann::json::parse(R"({"event":"started","screen":true,"width":1920,)"
                                            R"("height":1080,"rate":48000.0,"channels":2})")),
            events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), nlohmann::json({{"event", "recording"}})),
            events.end());
  EXPECT_EQ(nextEvent(3s, &audio), nullptr);
  server.sendBytes("S");
  const auto recorded = nextEvent(30s, &audio);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(recorded["event"], "recorded");
  EXPECT_EQ(recorded["path"], movie);
  EXPECT_NEAR(recorded["sent"].get<double>(), static_cast<double>(audio.size()) / 48000, 1e-6);
  EXPECT_GT(recorded["seconds"].get<double>(), 2.5);
  EXPECT_TRUE(server.endOfStream());
  EXPECT_TRUE(waitWithin(pid, 10s).success());
  ASSERT_GT(audio.size(), 48000u);
  const std::vector<float> middle(audio.end() - 48000, audio.end() - 24000);
  EXPECT_NEAR(peakFrequency(middle, 48000, 500, 2000, 2), 1000, 4);

  EXPECT_EQ(ffprobe(movie, "stream=codec_name,width,height,r_frame_rate"),
            "h264,1920,1080,10/1\naac,0/0\n");
  const double duration = std::stod(ffprobe(movie, "format=duration"));
  EXPECT_NEAR(duration, recorded["seconds"].get<double>(), 0.2);
  // The movie covers the time from the first picture to the stop, not the start-up before.
  EXPECT_LT(duration, wall.count() + 0.5);
  EXPECT_GT(duration, wall.count() - 1.5);
}

TEST_F(ScreenTest, TheSoundFollowsANewDefaultOutput) {
  playSomething();
  const pid_t pid = launch(movie, "HEADLESS-1");
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "picking"}}));
  std::vector<float> audio;
  EXPECT_NE(nextEvent(10s, &audio), nullptr);
  EXPECT_NE(nextEvent(10s, &audio), nullptr);
  EXPECT_EQ(nextEvent(2s, &audio), nullptr);
  // The first tone stops with its output; a new output becomes the default, playing another.
  ::kill(helpers.back(), SIGKILL);
  ASSERT_TRUE(waitWithin(helpers.back(), 5s).signaled);
  helpers.pop_back();
  ASSERT_EQ(
      waitWithin(inSession({"pactl", "load-module", "module-null-sink", "sink_name=other"}), 10s)
          .code,
      0);
  ASSERT_TRUE(waitWithin(inSession({"pactl", "set-default-sink", "other"}), 10s).success());
  helpers.push_back(inSession(
      {"gst-launch-1.0", "-q", "audiotestsrc", "freq=600", "volume=0.5", "!", "pulsesink"}));
  EXPECT_EQ(nextEvent(4s, &audio), nullptr);
  server.sendBytes("S");
  EXPECT_EQ(nextEvent(30s, &audio)["event"], "recorded");
  EXPECT_TRUE(waitWithin(pid, 10s).success());
  ASSERT_GT(audio.size(), 48000u);
  const std::vector<float> last(audio.end() - 24000, audio.end());
  EXPECT_NEAR(peakFrequency(last, 48000, 300, 2000, 2), 600, 4);
}

TEST_F(ScreenTest, AKilledRecorderLeavesAMovieThatPlays) {
  playSomething();
  const pid_t pid = launch(movie, "HEADLESS-1");
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "picking"}}));
  EXPECT_NE(nextEvent(), nullptr);
  EXPECT_NE(nextEvent(), nullptr);
  // Fragments end at key frames, every two seconds, and reach the file as the encoder's
  // look-ahead lets them go.
  // Read meanwhile, as the server does: a recorder that cannot send stalls.
  EXPECT_EQ(nextEvent(8s), nullptr);
  ::kill(pid, SIGKILL);
  waitWithin(pid, 10s);
  const auto frames =
      ffprobe(movie, "stream=nb_read_frames", {"-count_frames", "-select_streams", "v"});
  EXPECT_GE(std::atoi(frames.c_str()), 20) << frames;
}

}  // namespace
}  // namespace sonacap
