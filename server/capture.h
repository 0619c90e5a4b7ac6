#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/audio_tap.h"
#include "server/link.h"
#include "server/resampler.h"
#include "server/task_queue.h"

namespace sonacap {

// Sample rate in hertz of all audio sent to the server.
inline constexpr double OUT_RATE = 48000.0;
// How long a rebuild waits after the first change notification of a burst.
inline constexpr std::chrono::milliseconds REBUILD_DELAY{400};

// Why the capture could not be built; the text the "error" event carries.
struct TapError {
  std::string message;
};

// A status code as text: decimal, then its four bytes in quotes when all are printable ASCII.
std::string describe(Status status);

// The mono samples of one delivery: the average of its channels, frame by frame. Absent when
// the delivery holds no whole frame.
std::optional<std::vector<float>> mixDown(std::uint32_t formatFlags, BufferList list);

// Room for the converted samples of frames input frames at inRate, with slack for the
// converter's carry-over; absent when it cannot be counted in 32 bits.
std::optional<std::uint32_t> convertedCapacity(double inRate, std::size_t frames);

// The system-audio capture: a tap on everything the computer plays, recorded by a private
// device whose deliveries are mixed to mono, converted to OUT_RATE and sent over the link.
// All its state lives on queue, except during the first start on the main thread.
class Capture {
 public:
  using Exit = std::function<void(int)>;

  // Nothing is created in the audio system yet. exit ends the process after a failed rebuild.
  Capture(Link& link, std::vector<std::string> bundles, AudioTap& tap, Exit exit = Link::exitNow);
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Builds and starts the capture. Steps that succeeded before a failure are not undone.
  [[nodiscard]] std::optional<TapError> start();

  // "rate", "channels", "streams" and "only" of the running capture.
  nlohmann::json info();

  // Schedules a rebuild; a burst of calls leads to one. Safe from any thread.
  void restart();

  // Takes everything start built down again; never fails.
  void stop();

  // Mixes one delivery to mono, converts it and sends it as one audio message.
  void handle(BufferList list);

  TaskQueue& queue() { return queue_; }

 private:
  void rebuild();

  Link& link_;
  const std::vector<std::string> bundles_;
  AudioTap& audio_;
  const Exit exit_;
  ObjectId tap_ = 0;
  ObjectId device_ = 0;
  ObjectId proc_ = 0;
  StreamFormat format_;
  std::optional<Resampler> converter_;
  std::optional<double> monoRate_;  // the rate of the mono samples, set once a format is known
  bool restarting_ = false;
  TaskQueue queue_;  // last: its thread must stop before the fields it uses go
};

}  // namespace sonacap
