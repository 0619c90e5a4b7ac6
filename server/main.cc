// sonacap: streams the sound the computer plays to the server over a Unix-domain socket, or
// records the screen to a movie file and streams its sound.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "server/applications.h"
#include "server/audio_tap.h"
#include "server/capture.h"
#include "server/link.h"
#include "server/movie.h"
#include "server/options.h"
#include "server/screen_capture.h"
#include "server/screen_portal.h"
#include "server/screen_x11.h"
#include "server/task_queue.h"

namespace sonacap {
namespace {

enum ExitStatus { DONE = 0, FAILURE = 1, WRONG_COMMAND_LINE = 2 };

[[noreturn]] void fail(Link& link, const std::string& message) {
  link.json({{"event", "error"}, {"message", message}});
  Link::exitNow(FAILURE);
}

// The desktop's screen-cast portal when it offers one; otherwise the X server DISPLAY names.
// QUORVEL_SCREEN=portal or =x11 takes that one only. Either the source, or what is missing.
std::variant<std::unique_ptr<ScreenSource>, std::string> chooseScreenSource() {
  const char* forced = std::getenv("QUORVEL_SCREEN");
  const std::string wanted = forced != nullptr ? forced : "";
  std::unique_ptr<ScreenSource> portal;
  std::optional<std::string> portalMissing;
  if (wanted != "x11") {
    portal = makePortalScreenSource();
    portalMissing = portal->missing();
    if (!portalMissing) return portal;
    if (wanted == "portal") return *portalMissing;
  }
  std::unique_ptr<ScreenSource> x11 = makeX11ScreenSource();
  std::optional<std::string> x11Missing = x11->missing();
  if (!x11Missing) return x11;
  // Where neither can be had, the portal's reason is the one to give, unless X11 was asked.
  return portalMissing ? *portalMissing : *x11Missing;
}

int run(const std::vector<std::string>& args) {
  const Options options = parseOptions(args);
  std::signal(SIGPIPE, SIG_IGN);

  // Never destroyed: background threads may use them until the process exits.
  static Link link;
  if (options.socketPath.empty() || !link.connect(options.socketPath)) {
    std::fputs(USAGE, stderr);
    return WRONG_COMMAND_LINE;
  }
  link.json({{"event", "hello"}, {"pid", ::getpid()}});

  static TaskQueue mainQueue;
  if (!options.screenPath.empty()) {
    auto chosen = chooseScreenSource();
    if (auto* missing = std::get_if<std::string>(&chosen)) fail(link, *missing);
    static const std::unique_ptr<ScreenSource> source =
        std::move(std::get<std::unique_ptr<ScreenSource>>(chosen));
    static ScreenCapture screen(link, std::filesystem::absolute(options.screenPath).string(),
                                *source, makeMovie);
    link.onBroken = [] { screen.finish(); };
    link.watch([] { screen.finish(); });
    mainQueue.async([] { screen.pick(); });
    mainQueue.runForever();
  }

  // Named applications: only the sound their processes play.
  StreamChoice choice;
  if (!options.bundles.empty()) {
    choice = [asked = options.bundles](const PlaybackStream& stream) {
      return namesOneOf(applicationNames(stream.pid, stream.names), asked);
    };
  }
  static const std::unique_ptr<AudioTap> audio = makeSystemAudioTap(std::move(choice));
  static Capture capture(link, options.bundles, *audio);
  link.watch([] { Link::exitNow(DONE); });
  // A new default output, a new format or a sound service that went away: build it again.
  audio->watch([](TapChange change) { capture.restart(change); });
  mainQueue.async([] {
    if (const auto error = capture.start()) fail(link, error->message);
    nlohmann::json started = capture.info();
    started["event"] = "started";
    link.json(started);
  });
  mainQueue.runForever();
}

}  // namespace
}  // namespace sonacap

int main(int argc, char** argv) {
  return sonacap::run(std::vector<std::string>(argv + 1, argv + argc));
}
