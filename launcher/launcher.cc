#include "launcher/launcher.h"

#include <unistd.h>

#include <future>
#include <thread>

#include "common/text.h"
#include "launcher/data_folder.h"
#include "launcher/server_process.h"

namespace quorvel::launcher {
namespace {

constexpr int SERVER_RESTART = 75;
constexpr int SERVER_QUIT = 76;
constexpr long RECORDING_LIVE = 409;

void pause(double seconds) { ::usleep(static_cast<useconds_t>(seconds * 1'000'000)); }

std::string pageUrl(std::int64_t port) { return "http://localhost:" + std::to_string(port); }

}  // namespace

LiveRecordingAnswer liveRecordingAnswer(
    bool canAsk, std::optional<std::chrono::steady_clock::time_point> lastUnanswered,
    std::chrono::steady_clock::time_point requested) {
  if (canAsk) return LiveRecordingAnswer::ask;
  if (lastUnanswered && requested - *lastUnanswered <= UNANSWERED_REPEAT) {
    return LiveRecordingAnswer::quitAnyway;
  }
  return LiveRecordingAnswer::keepRecording;
}

Launcher::Launcher(std::shared_ptr<Desktop> desktop, Settings settings)
    : desktop_(std::move(desktop)),
      settings_(std::move(settings)),
      afterUpdate_(settings_.options.afterUpdate) {}

void Launcher::onWorker(std::function<void()> work) { std::thread(std::move(work)).detach(); }

void Launcher::didFinishLaunching() {
  const Texts& t = settings_.texts;
  desktop_->installMenu({.about = t("about"),
                         .open = t("open"),
                         .quit = t("quit"),
                         .version = settings_.version,
                         .details = [this] { return aboutDetails(); },
                         .onOpen = [this] { openFromMenu(); },
                         .onQuit = [this] { terminate(); }});
  desktop_->postAfter(settings_.timing.launchDelay, [this] {
    if (asked) return;
    asked = true;
    ensure(settings_.options.mayOpenBrowser);
  });
}

void Launcher::openFromMenu() { ensure(true); }

std::string Launcher::aboutDetails() const {
  return dataDir.empty() ? std::string() : settings_.texts("dataAt", {dataDir});
}

// Termination.

void Launcher::terminate() {
  if (terminated_) return;
  if (shouldTerminate() == TerminateReply::now) replyToTermination(true);
}

void Launcher::replyToTermination(bool terminate) {
  if (!terminate || terminated_) return;
  willTerminate();
  terminated_ = true;
  desktop_->exit(0);
}

void Launcher::willTerminate() {
  if (server && server->isRunning()) server->terminate();
}

Launcher::TerminateReply Launcher::shouldTerminate() {
  if (!server) return TerminateReply::now;
  if (!server->isRunning() || quitting) return TerminateReply::now;
  quitting = true;
  const std::int64_t port = settings_.options.port;
  const Timing timing = settings_.timing;
  const Texts texts = settings_.texts;
  const Clock::time_point requested = Clock::now();
  const LiveRecordingAnswer answer =
      liveRecordingAnswer(desktop_->canAsk(), unanswered_, requested);
  onWorker([this, desktop = desktop_, process = server, port, timing, texts, answer, requested] {
    if (post(port, "/api/quit") == RECORDING_LIVE) {
      bool quitAnyway = answer == LiveRecordingAnswer::quitAnyway;
      if (!quitAnyway) {
        // Shown also when no one can answer: the console desktop tells why it keeps recording.
        std::promise<std::optional<int>> answered;
        desktop->post([desktop, texts, &answered] {
          desktop->activate();
          answered.set_value(
              desktop->alert({.message = texts("recording"),
                              .informative = texts("recordingDetail"),
                              .buttons = {texts("keepRecording"), texts("quitAnyway")},
                              .safeAnswer = 0}));
        });
        quitAnyway = answered.get_future().get() == 1 && answer == LiveRecordingAnswer::ask;
      }
      if (!quitAnyway) {
        desktop->post([this, answer, requested] {
          quitting = false;
          if (answer == LiveRecordingAnswer::keepRecording) unanswered_ = requested;
          replyToTermination(false);
        });
        return;
      }
      post(port, "/api/quit", R"({"force":true})");
    }
    for (int check = 0; check < timing.quitChecks && process->isRunning(); ++check) {
      pause(timing.quitCheckPause);
    }
    if (process->isRunning()) process->terminate();
    desktop->post([this] { replyToTermination(true); });
  });
  return TerminateReply::later;
}

// Page requests.

void Launcher::ensure(bool openPage) {
  const std::int64_t port = settings_.options.port;
  onWorker([this, desktop = desktop_, port, openPage] {
    const Alive alive = serviceAlive(port);
    desktop->post([this, alive, openPage] {
      const bool serverRunning = server && server->isRunning();
      switch (alive) {
        case Alive::yes:
          if (openPage) this->openPage();
          if (!server) terminate();
          break;
        case Alive::other:
          if (serverRunning) {
            if (openPage) waitThenOpen();
            break;
          }
          explain(settings_.texts("portBusy", {std::to_string(settings_.options.port)}));
          terminate();
          break;
        case Alive::no:
          if (!serverRunning) {
            if (start() && openPage) {
              if (afterUpdate_) {
                openUnlessReconnected();
              } else {
                waitThenOpen();
              }
            }
          } else if (openPage) {
            waitThenOpen();
          }
          break;
      }
    });
  });
}

void Launcher::waitThenOpen() {
  const std::int64_t port = settings_.options.port;
  const Timing timing = settings_.timing;
  onWorker([this, desktop = desktop_, port, timing] {
    for (int probe = 0; probe < timing.serverProbes; ++probe) {
      if (serviceAlive(port) == Alive::yes) {
        desktop->post([this] { openPage(); });
        return;
      }
      pause(timing.probePause);
    }
  });
}

void Launcher::openUnlessReconnected() {
  afterUpdate_ = false;
  const std::int64_t port = settings_.options.port;
  const Timing timing = settings_.timing;
  onWorker([this, desktop = desktop_, port, timing] {
    for (int probe = 0; probe < timing.serverProbes; ++probe) {
      if (serviceAlive(port) == Alive::yes) break;
      pause(timing.probePause);
    }
    for (int probe = 0; probe < timing.reconnectProbes; ++probe) {
      const auto pages = pagesConnected(port);
      if (pages && *pages > 0) return;
      pause(timing.probePause);
    }
    desktop->post([this] { openPage(); });
  });
}

void Launcher::openPage() { desktop_->openUrl(pageUrl(settings_.options.port)); }

// The server process.

std::optional<std::string> Launcher::dataFolderStep() {
  const Texts& t = settings_.texts;
  const DataFolderPlace place{settings_.options.dataArg, settings_.paths.locationFile,
                              settings_.paths.defaultData, settings_.volumeRoots};
  return resolveDataFolder(
      place, [&](const std::string& path) { return t("noData", {path}); },
      [&](const std::string& disk) { return t("noDisk", {disk}); },
      [&](const std::string& informative) {
        desktop_->activate();
        const auto answer = desktop_->alert({.message = t("failed"),
                                             .informative = informative,
                                             .buttons = {t("retry"), t("useDefault"), t("quit")},
                                             .safeAnswer = 2});
        if (answer == 0) return DataFolderAnswer::retry;
        if (answer == 1) return DataFolderAnswer::useDefault;
        return DataFolderAnswer::quit;
      });
}

bool Launcher::start() {
  const auto folder = dataFolderStep();
  if (!folder) {
    terminate();
    return false;
  }
  dataDir = *folder;

  const ServerSettings serverSettings{
      settings_.paths.contents, settings_.paths.resources,    settings_.paths.support, dataDir,
      settings_.version,        settings_.options.launchArgs, settings_.options.port};
  SpawnRequest request = serverRequest(settings_.environment, serverSettings);
  const int log =
      openServerLog(serverLogPath(dataDir), logHeader(settings_.version, std::time(nullptr)));
  request.standardOutput = log;
  request.standardError = log;

  const Clock::time_point launchTime = Clock::now();
  std::string error;
  // The handle is filled in below, on the main thread, before any queued exit can run there.
  auto watched = std::make_shared<std::weak_ptr<WatchedProcess>>();
  auto process = WatchedProcess::start(
      request,
      [this, desktop = desktop_, watched, launchTime](ExitStatus status) {
        desktop->post([this, watched, status, launchTime] {
          serverEnded(watched->lock(), status, launchTime);
        });
      },
      &error);
  if (log >= 0) ::close(log);
  if (!process) {
    explain(error);
    terminate();
    return false;
  }
  *watched = process;
  server = process;
  return true;
}

void Launcher::serverEnded(const std::shared_ptr<WatchedProcess>& process, ExitStatus status,
                           Clock::time_point launchTime) {
  if (server == process) server.reset();
  if (!status.signaled && status.code == SERVER_RESTART && !quitting) {
    start();
    return;
  }
  if (!status.signaled && status.code == SERVER_QUIT) {
    quitting = true;
    terminate();
    return;
  }
  if (quitting) return;
  const std::chrono::duration<double> lived = Clock::now() - launchTime;
  if (lived.count() < settings_.timing.quickFailure && !status.success()) explain(std::nullopt);
  if (quitting) return;
  terminate();
}

void Launcher::explain(const std::optional<std::string>& detail) {
  const Texts& t = settings_.texts;
  std::string shown = detail.value_or("");
  const std::string logPath = dataDir.empty() ? std::string() : serverLogPath(dataDir);
  if (shown.empty() && !logPath.empty()) shown = lastLogLines(logPath, 6);
  std::vector<std::string> parts;
  if (!shown.empty()) parts.push_back(shown);
  if (!logPath.empty()) parts.push_back(t("logAt", {logPath}));
  desktop_->activate();
  desktop_->alert({.message = t("failed"), .informative = join(parts, "\n\n"), .buttons = {}});
}

}  // namespace quorvel::launcher
