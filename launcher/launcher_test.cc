// The launcher's decisions against real child processes: bundles whose bin/node is a script
// or a stand-in server, driven through a test desktop that answers the alerts.
#include "launcher/launcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "common/files.h"
#include "common/text.h"
#include "launcher/test_support.h"

namespace quorvel::launcher {
namespace {

using namespace std::chrono_literals;
using testing::makeBundle;
using testing::TempDir;
using testing::TestDesktop;

const std::string kFakeServer = std::string(LAUNCHER_TESTDATA) + "/fake_server.js";

// A bin/node body that runs the stand-in server with the given FAKE_ settings.
std::string fakeServer(const std::string& settings) {
  return settings + " exec " NODE_EXECUTABLE " " + kFakeServer + " \"$@\"";
}

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.options.port = testing::freePort();
    settings.options.supportArg = support;
    settings.options.launchArgs = {"--support", support};
    settings.paths = makePaths(bundle, settings.options, "/nonexistent");
    settings.version = "1.2.3";
    settings.environment = {"HOME=/root", "NODE_OPTIONS=--inspect", "KEEP=kept",
                            "PATH=/usr/local/bin:/usr/bin", "FAKE_LOG=" + requests};
    settings.timing.launchDelay = 0.05;
    settings.timing.probePause = 0.1;
  }

  void TearDown() override {
    if (launcher && launcher->server) {
      launcher->server->terminate();
      for (int i = 0; i < 50 && launcher->server->isRunning(); ++i)
        std::this_thread::sleep_for(100ms);
    }
  }

  void launch() {
    launcher = std::make_unique<Launcher>(desktop, settings);
    launcher->didFinishLaunching();
  }

  // Runs the loop until the launcher's own server answers as ours.
  void runUntilServing() {
    desktop->runUntil(
        [&] { return launcher->server && serviceAlive(settings.options.port) == Alive::yes; }, 20s);
    ASSERT_TRUE(launcher->server);
  }

  // A stand-in server on the port that this launcher did not start, once it answers.
  std::shared_ptr<WatchedProcess> startOtherServer(const std::string& setting, Alive answers) {
    SpawnRequest other;
    other.executable = NODE_EXECUTABLE;
    other.arguments = {kFakeServer};
    other.environment =
        std::vector<std::string>{"PORT=" + std::to_string(settings.options.port), setting};
    std::string error;
    auto running = WatchedProcess::start(other, nullptr, &error);
    EXPECT_TRUE(running) << error;
    for (int i = 0; running && i < 200 && serviceAlive(settings.options.port) != answers; ++i) {
      std::this_thread::sleep_for(50ms);
    }
    return running;
  }

  std::string recordedRequests() { return readFile(requests).value_or(""); }
  std::string dataDir() { return joinPath(support, "Data"); }
  std::string logPath() { return joinPath(dataDir(), "server.log"); }

  TempDir temp;
  const std::string bundle = temp.path() + "/Quorvel.app";
  const std::string support = temp.path() + "/support";
  const std::string requests = temp.path() + "/requests.txt";
  std::shared_ptr<TestDesktop> desktop = std::make_shared<TestDesktop>();
  Settings settings;
  std::unique_ptr<Launcher> launcher;
};

TEST_F(LauncherTest, StartsTheServerWithItsEnvironmentArgumentAndLog) {
  makeBundle(bundle,
             "{ printf 'ARG=%s\\n' \"$*\"; printf 'CWD=%s\\n' \"$PWD\"; env; } "
             "> \"$QUORVEL_DATA/child.txt\"; echo 'server says hi'; exit 0");
  launch();
  ASSERT_EQ(desktop->runFor(20s), 0);

  const std::string resources = bundle + "/Contents/Resources";
  const auto child = split(readFile(dataDir() + "/child.txt").value_or(""), '\n', false);
  const auto has = [&](const std::string& line) {
    return std::find(child.begin(), child.end(), line) != child.end();
  };
  EXPECT_TRUE(has("ARG=" + resources + "/app/server/index.js"));
  EXPECT_TRUE(has("CWD=" + resources + "/app"));
  EXPECT_TRUE(
      has("PATH=" + resources + "/bin:" + resources + "/yt-dlp:/usr/bin:/bin:/usr/sbin:/sbin"));
  EXPECT_TRUE(has("QUORVEL_BUNDLE=" + bundle + "/Contents"));
  EXPECT_TRUE(has("QUORVEL_SUPPORT=" + support));
  EXPECT_TRUE(has("QUORVEL_DATA=" + dataDir()));
  EXPECT_TRUE(has("QUORVEL_VERSION=1.2.3"));
  EXPECT_TRUE(has("QUORVEL_LAUNCH_ARGS=[\"--support\",\"" + support + "\"]"));
  EXPECT_TRUE(has("PORT=" + std::to_string(settings.options.port)));
  EXPECT_TRUE(has("KEEP=kept"));
  for (const std::string& line : child) EXPECT_NE(line.rfind("NODE_OPTIONS=", 0), 0u) << line;

  const std::string log = readFile(logPath()).value_or("");
  EXPECT_EQ(log.rfind("\n===== ", 0), 0u) << log;
  EXPECT_NE(log.find(" Quorvel 1.2.3 启动 =====\nserver says hi\n"), std::string::npos) << log;
  EXPECT_TRUE(desktop->alerts.empty());
}

struct ExitCase {
  const char* name;
  const char* script;
  bool explained;
  size_t headers;  // log headers written: one per start
};

class ServerExitTest : public LauncherTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ServerExitTest, DecidesBetweenRestartAlertAndQuit) {
  const ExitCase& c = GetParam();
  settings.timing.quickFailure = 1.0;
  makeBundle(bundle, c.script);
  launch();
  ASSERT_EQ(desktop->runFor(20s), 0);
  ASSERT_EQ(desktop->alerts.size(), c.explained ? 1u : 0u);
  const std::string log = readFile(logPath()).value_or("");
  size_t headers = 0;
  for (size_t at = log.find("===== 20"); at != std::string::npos;
       at = log.find("===== 20", at + 1)) {
    ++headers;
  }
  EXPECT_EQ(headers, c.headers) << log;
  if (c.explained) {
    EXPECT_EQ(desktop->alerts[0].message, "Quorvel couldn't start");
    EXPECT_TRUE(desktop->alerts[0].buttons.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ServerExitTest,
    ::testing::Values(ExitCase{"failsQuickly", "echo one; exit 1", true, 1},
                      ExitCase{"killedQuickly", "kill -KILL $$", true, 1},
                      ExitCase{"endsQuicklyWithZero", "exit 0", false, 1},
                      ExitCase{"asksToQuit", "exit 76", false, 1},
                      ExitCase{"failsLate", "sleep 1.5; exit 1", false, 1},
                      ExitCase{
                          "asksForRestart",
                          "if [ ! -e \"$QUORVEL_DATA/once\" ]; then touch \"$QUORVEL_DATA/once\"; "
                          "echo first; exit 75; fi; echo second; exit 0",
                          false, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LauncherTest, FailureAlertShowsTheLastSixLogLinesAndTheLogPath) {
  makeBundle(bundle, "printf 'l1\\nl2\\n\\nl3\\nl4\\nl5\\n\\nl6\\nl7\\n'; exit 1");
  launch();
  ASSERT_EQ(desktop->runFor(20s), 0);
  ASSERT_EQ(desktop->alerts.size(), 1u);
  EXPECT_EQ(desktop->alerts[0].informative, "l2\nl3\nl4\nl5\nl6\nl7\n\nFull log: " + logPath());
}

TEST_F(LauncherTest, LaunchFailureShowsTheReasonAndQuits) {
  makeBundle(bundle, "exit 0");
  std::filesystem::remove(bundle + "/Contents/Resources/bin/node");
  launch();
  ASSERT_EQ(desktop->runFor(20s), 0);
  ASSERT_EQ(desktop->alerts.size(), 1u);
  EXPECT_EQ(desktop->alerts[0].informative,
            "execve: No such file or directory\n\nFull log: " + logPath());
  EXPECT_FALSE(launcher->server);
}

TEST_F(LauncherTest, QuitChoiceInTheDataFolderAlertStartsNoServer) {
  std::filesystem::create_directories(support);
  ASSERT_TRUE(writeFile(support + "/data-location", temp.path() + "/Missing\n"));
  makeBundle(bundle, "touch \"$QUORVEL_DATA/started\"; sleep 30");
  desktop->answers = {2};
  launch();
  ASSERT_EQ(desktop->runFor(20s), 0);
  ASSERT_EQ(desktop->alerts.size(), 1u);
  EXPECT_EQ(desktop->alerts[0].informative,
            "The data folder can't be found:\n" + temp.path() + "/Missing");
  EXPECT_EQ(desktop->alerts[0].buttons,
            (std::vector<std::string>{"Try Again", "Use the Default Location (New, Empty)",
                                      "Quit Quorvel"}));
  EXPECT_FALSE(launcher->server);
  EXPECT_FALSE(pathExists(temp.path() + "/Missing"));
}

TEST_F(LauncherTest, OpensThePageOnceTheServerAnswersAndQuitsThroughIt) {
  makeBundle(bundle, fakeServer("FAKE_QUIT_DELAY_MS=500"));
  launch();
  desktop->runUntil([&] { return desktop->openedCount() > 0; }, 20s);
  ASSERT_EQ(desktop->openedUrls,
            std::vector<std::string>{"http://localhost:" + std::to_string(settings.options.port)});

  launcher->terminate();
  ASSERT_EQ(desktop->runFor(20s), 0);
  EXPECT_NE(recordedRequests().find("POST /api/quit {}\n"), std::string::npos);
  EXPECT_EQ(recordedRequests().find("SIGTERM"), std::string::npos) << recordedRequests();
  EXPECT_EQ(desktop->openedCount(), 1u);
}

TEST_F(LauncherTest, NoBrowserOpensNothingUntilTheMenuAsks) {
  settings.options.mayOpenBrowser = false;
  makeBundle(bundle, fakeServer(""));
  launch();
  runUntilServing();
  desktop->runFor(500ms);
  EXPECT_EQ(desktop->openedCount(), 0u);
  desktop->menu.onOpen();
  desktop->runUntil([&] { return desktop->openedCount() > 0; }, 10s);
  EXPECT_EQ(desktop->openedCount(), 1u);
  EXPECT_EQ(desktop->menu.open, "Open Quorvel");
}

TEST_F(LauncherTest, AnotherCopysServerGetsThePageAndThisCopyEnds) {
  const auto running = startOtherServer("FAKE_PING=marker", Alive::yes);
  ASSERT_TRUE(running);

  makeBundle(bundle, "touch \"$QUORVEL_DATA/started\"; exit 0");
  launch();
  EXPECT_EQ(desktop->runFor(20s), 0);
  EXPECT_EQ(desktop->openedCount(), 1u);
  EXPECT_FALSE(pathExists(dataDir() + "/started"));
  EXPECT_TRUE(running->isRunning());
  running->terminate();
}

TEST_F(LauncherTest, PortHeldByAnotherProgramIsExplained) {
  const auto running = startOtherServer("FAKE_PING=plain", Alive::other);
  ASSERT_TRUE(running);

  makeBundle(bundle, "exit 0");
  launch();
  EXPECT_EQ(desktop->runFor(20s), 0);
  ASSERT_EQ(desktop->alerts.size(), 1u);
  EXPECT_EQ(desktop->alerts[0].informative,
            "Port " + std::to_string(settings.options.port) +
                " is used by another program, so Quorvel can't use it.");
  EXPECT_FALSE(launcher->server);
  running->terminate();
}

TEST_F(LauncherTest, AfterAnUpdateAReconnectedPageIsNotOpenedAgain) {
  settings.options.afterUpdate = true;
  settings.timing.reconnectProbes = 5;
  for (const int pages : {1, 0}) {
    SCOPED_TRACE(pages);
    desktop = std::make_shared<TestDesktop>();
    makeBundle(bundle, fakeServer("FAKE_PAGES=" + std::to_string(pages)));
    launch();
    runUntilServing();
    desktop->runFor(2s);
    EXPECT_EQ(desktop->openedCount(), pages > 0 ? 0u : 1u);
    launcher->terminate();
    ASSERT_EQ(desktop->runFor(20s), 0);
  }
}

std::vector<std::string> quitRequests(const std::string& recorded) {
  std::vector<std::string> quits;
  for (const std::string& line : split(recorded, '\n', false)) {
    if (line.find("/api/quit") != std::string::npos) quits.push_back(line);
  }
  return quits;
}

TEST_F(LauncherTest, LiveRecordingAsksAndKeepingItCancelsTheQuit) {
  settings.options.mayOpenBrowser = false;
  makeBundle(bundle, fakeServer("FAKE_QUIT=recording"));
  launch();
  runUntilServing();

  desktop->answers = {0, 1};  // keep recording, then quit anyway
  launcher->terminate();
  desktop->runUntil([&] { return !desktop->alerts.empty() && !launcher->quitting; }, 20s);
  ASSERT_EQ(desktop->alerts.size(), 1u);
  EXPECT_EQ(desktop->alerts[0].message, "A live recording is in progress");
  EXPECT_EQ(desktop->alerts[0].buttons,
            (std::vector<std::string>{"Keep Recording", "Quit Anyway"}));
  EXPECT_FALSE(launcher->quitting);
  EXPECT_TRUE(launcher->server && launcher->server->isRunning());

  launcher->terminate();
  ASSERT_EQ(desktop->runFor(20s), 0);
  EXPECT_EQ(desktop->alerts.size(), 2u);
  EXPECT_EQ(quitRequests(recordedRequests()),
            (std::vector<std::string>{"POST /api/quit {}", "POST /api/quit {}",
                                      "POST /api/quit {\"force\":true}"}));
}

TEST(LiveRecordingAnswer, WithNoOneToAskASecondRequestSoonAfterQuits) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  struct Case {
    const char* name;
    bool canAsk;
    std::optional<Clock::duration> sinceUnanswered;
    LiveRecordingAnswer answer;
  };
  const std::vector<Case> cases = {
      {"someone to ask", true, 1s, LiveRecordingAnswer::ask},
      {"first request", false, std::nullopt, LiveRecordingAnswer::keepRecording},
      {"second within the window", false, 3s, LiveRecordingAnswer::quitAnyway},
      {"second at the window's end", false, 10s, LiveRecordingAnswer::quitAnyway},
      {"second after the window", false, 10s + 1ms, LiveRecordingAnswer::keepRecording},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Clock::time_point> last;
    if (c.sinceUnanswered) last = now - *c.sinceUnanswered;
    EXPECT_EQ(liveRecordingAnswer(c.canAsk, last, now), c.answer);
  }
}

TEST_F(LauncherTest, WithNoOneToAskASecondTerminationQuitsAndStopsTheRecordingCleanly) {
  settings.options.mayOpenBrowser = false;
  makeBundle(bundle, fakeServer("FAKE_QUIT=recording"));
  desktop->askable = false;
  launch();
  runUntilServing();

  launcher->terminate();
  desktop->runUntil([&] { return !desktop->alerts.empty() && !launcher->quitting; }, 20s);
  EXPECT_TRUE(launcher->server && launcher->server->isRunning());
  EXPECT_EQ(quitRequests(recordedRequests()), std::vector<std::string>{"POST /api/quit {}"});

  launcher->terminate();
  ASSERT_EQ(desktop->runFor(20s), 0);
  EXPECT_EQ(desktop->alerts.size(), 1u);
  EXPECT_EQ(quitRequests(recordedRequests()),
            (std::vector<std::string>{"POST /api/quit {}", "POST /api/quit {}",
                                      "POST /api/quit {\"force\":true}"}));
  EXPECT_EQ(recordedRequests().find("SIGTERM"), std::string::npos);
}

TEST_F(LauncherTest, HangingServerIsSignalledAfterTheQuitRequestTimesOut) {
  settings.options.mayOpenBrowser = false;
  settings.timing.quitChecks = 5;
  makeBundle(bundle, fakeServer("FAKE_QUIT=hang"));
  launch();
  runUntilServing();
  const auto process = launcher->server;
  launcher->terminate();
  ASSERT_EQ(desktop->runFor(30s), 0);
  for (int i = 0; i < 50 && process->isRunning(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_NE(recordedRequests().find("POST /api/quit {}\nSIGTERM\n"), std::string::npos)
      << recordedRequests();
}

}  // namespace
}  // namespace quorvel::launcher
