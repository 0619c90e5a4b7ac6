#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/process.h"
#include "launcher/desktop.h"
#include "launcher/options.h"
#include "launcher/probe.h"
#include "launcher/strings.h"

namespace quorvel::launcher {

// Waits and counts of the launcher, in seconds where they are times.
struct Timing {
  double launchDelay = 0.6;  // from launch to the first page request
  double probePause = 0.5;   // between probes while waiting for the server
  int serverProbes = 240;    // about two minutes for a starting server
  int reconnectProbes = 20;  // about ten seconds for a page to reconnect after an update
  int quitChecks = 50;       // looks for the server's end after a quit request
  double quitCheckPause = 0.1;
  double quickFailure = 20.0;  // a server that fails sooner than this is explained
};

// What becomes of a quit request that the server refused because a recording is live.
enum class LiveRecordingAnswer { ask, keepRecording, quitAnyway };

// Someone who can be asked decides. With no one to ask, the recording is kept, unless an
// earlier termination request met the same refusal at most UNANSWERED_REPEAT before this one:
// a second request (a service stop, a session ending) means quit anyway.
inline constexpr std::chrono::seconds UNANSWERED_REPEAT{10};
LiveRecordingAnswer liveRecordingAnswer(
    bool canAsk, std::optional<std::chrono::steady_clock::time_point> lastUnanswered,
    std::chrono::steady_clock::time_point requested);

// Everything the launcher knows at start-up; set once on the main thread, read anywhere.
struct Settings {
  Texts texts;
  Options options;
  Paths paths;
  std::string version;                   // CFBundleShortVersionString, or empty
  std::vector<std::string> environment;  // the launcher's own, "NAME=value"
  std::vector<std::string> volumeRoots;  // where removable disks are mounted
  Timing timing;
};

// The application's delegate: every decision about the server, the page and quitting. All
// members run on the main thread; probes and waits run on worker threads and hand their
// outcome back through the desktop's main queue.
class Launcher {
 public:
  Launcher(std::shared_ptr<Desktop> desktop, Settings settings);

  // The launch has finished: install the menu and schedule the first page request.
  void didFinishLaunching();
  // The user asked for the page (menu item).
  void openFromMenu();
  // The termination request of the application (menu, signals, and the launcher's own).
  void terminate();
  // What the About panel tells beside the version: where the data folder is, once known.
  std::string aboutDetails() const;

  std::shared_ptr<WatchedProcess> server;
  bool asked = false;
  bool quitting = false;
  std::string dataDir;

 private:
  enum class TerminateReply { now, later };
  using Clock = std::chrono::steady_clock;

  TerminateReply shouldTerminate();
  void replyToTermination(bool terminate);
  void willTerminate();

  void ensure(bool openPage);
  void waitThenOpen();
  void openUnlessReconnected();
  void openPage();

  bool start();
  std::optional<std::string> dataFolderStep();
  void serverEnded(const std::shared_ptr<WatchedProcess>& process, ExitStatus status,
                   Clock::time_point launchTime);
  void explain(const std::optional<std::string>& detail);

  void onWorker(std::function<void()> work);

  const std::shared_ptr<Desktop> desktop_;
  const Settings settings_;
  bool afterUpdate_;
  bool terminated_ = false;
  // When a termination request last met a live recording with no one to ask.
  std::optional<Clock::time_point> unanswered_;
};

}  // namespace quorvel::launcher
