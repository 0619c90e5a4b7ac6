#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "server/task_queue.h"

namespace sonacap {

// Why the capture could not be built: the failing call and its reason, the text the "error"
// event carries ("pa_context_connect: Connection refused").
struct TapError {
  std::string message;
};

// The tapped sound as it is delivered.
struct TapFormat {
  double rate = 0;             // frames per second
  std::uint32_t channels = 0;  // interleaved in each frame
  std::uint32_t streams = 0;   // input streams delivering it
};

// Sound handed to the capture: whole interleaved float frames at the tap's rate, then a count
// of frames that the sound system lost or that could not be kept, which stand for silence.
struct Delivery {
  std::span<const float> samples;
  std::uint64_t lostFrames = 0;
};

// What may have changed under a running tap; any of them means building the capture anew.
enum class TapChange {
  output,  // the default output changed
  format,  // the tapped output's format changed
  lost,    // the sound service failed or went away
};

// The sound the computer plays, as the capture uses it.
class AudioTap {
 public:
  virtual ~AudioTap() = default;

  // Connects to the sound system and opens a tap on the default output, not yet delivering.
  [[nodiscard]] virtual std::variant<TapFormat, TapError> open() = 0;
  // Starts handing the open tap's sound to onSound, always on queue.
  [[nodiscard]] virtual std::optional<TapError> start(TaskQueue& queue,
                                                      std::function<void(Delivery)> onSound) = 0;
  // Stops delivering and closes everything open made; deliveries already queued find nothing.
  virtual void stop() = 0;
  // Sets, once before the first open, what to call on a background thread on every change of
  // an open tap.
  virtual void watch(std::function<void(TapChange)> onChange) = 0;
};

// A playback stream as the sound server describes it.
struct PlaybackStream {
  pid_t pid = 0;                   // of the process that plays it; 0 when the server was not told
  std::vector<std::string> names;  // what that process told the server it is
};

// Which playback streams a tap takes; an empty choice takes everything the output plays.
using StreamChoice = std::function<bool(const PlaybackStream&)>;

// The sound system of this machine: the mix of what the default output plays, its chosen streams
// only when given a choice, following streams as they come and go.
std::unique_ptr<AudioTap> makeSystemAudioTap(StreamChoice choice = {});

}  // namespace sonacap
