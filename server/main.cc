// sonacap: streams the sound the computer plays to the server over a Unix-domain socket.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "server/audio_tap.h"
#include "server/capture.h"
#include "server/link.h"
#include "server/options.h"
#include "server/task_queue.h"

namespace sonacap {
namespace {

enum ExitStatus { DONE = 0, FAILURE = 1, WRONG_COMMAND_LINE = 2 };

[[noreturn]] void fail(Link& link, const std::string& message) {
  link.json({{"event", "error"}, {"message", message}});
  Link::exitNow(FAILURE);
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

  if (!options.screenPath.empty()) fail(link, "screen recording is not available on this system");

  static TaskQueue mainQueue;
  static const std::unique_ptr<AudioTap> audio = makeSystemAudioTap();
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
