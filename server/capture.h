#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
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

// The waits of a rebuild.
struct CaptureTiming {
  std::chrono::milliseconds rebuildDelay{400};  // after the first change of a burst
  std::chrono::milliseconds retryPause{500};    // between attempts that fail
  std::chrono::milliseconds retryLimit{10000};  // how long a sound service may take to come back
  // How often the stream is held against the clock while the sound service is away (0: never),
  // and how far it may lag before the lag is sent as silence.
  std::chrono::milliseconds clockCheck{50};
  std::chrono::milliseconds lagLimit{60};
};

using Clock = std::function<std::chrono::steady_clock::time_point()>;

// The mono samples of interleaved frames: the average of their channels, frame by frame. A
// partial last frame is dropped; absent when there is no whole frame.
std::optional<std::vector<float>> mixDown(std::span<const float> frames, std::uint32_t channels);

// Room for the converted samples of frames input frames at inRate, with slack for the
// converter's carry-over; absent when it cannot be counted in 32 bits.
std::optional<std::uint32_t> convertedCapacity(double inRate, std::size_t frames);

// The system-audio capture: a tap on what the computer plays, mixed to mono, converted to
// OUT_RATE and sent over the link. The stream stays true to the clock: sound lost in a
// rebuild, in a hole of the sound system or for want of room is sent as silence of its length.
// All its state lives on queue, except during the first start on the main thread.
class Capture {
 public:
  using Exit = std::function<void(int)>;

  // Nothing is opened in the sound system yet. exit ends the process after a failed rebuild.
  Capture(Link& link, std::vector<std::string> bundles, AudioTap& tap, Exit exit = Link::exitNow,
          CaptureTiming timing = {}, Clock now = std::chrono::steady_clock::now);
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Opens the tap and starts it delivering. A failed start leaves what it opened to stop.
  [[nodiscard]] std::optional<TapError> start();

  // "rate", "channels", "streams" and "only" of the running capture.
  nlohmann::json info();

  // Schedules a rebuild for change; a burst of calls leads to one. Safe from any thread.
  void restart(TapChange change);

  // Closes everything start opened; never fails.
  void stop();

  // Mixes one delivery to mono, converts it and sends it, then the silence it stands for.
  void handle(Delivery delivery);

  TaskQueue& queue() { return queue_; }

 private:
  void rebuild();
  // One try at building the capture again, for a rebuild that began at began.
  void attempt(std::chrono::steady_clock::time_point began);
  // Sends the silence that brings the stream up to the time passed, if it lags by more than
  // allowed; the frames sent.
  std::uint64_t fillGap(std::chrono::milliseconds allowed = {});
  // Every clockCheck from now on, holds the stream against the clock while the tap is lost or
  // closed. A working tap that is merely late (a busy machine) is left alone: its sound is on
  // the way, and silence sent for it would cut into that sound and put the stream ahead.
  void keepTime();
  void sendSamples(std::span<const float> samples);
  void sendSilence(std::uint64_t frames);

  Link& link_;
  const std::vector<std::string> bundles_;
  AudioTap& audio_;
  const Exit exit_;
  const CaptureTiming timing_;
  const Clock now_;
  TapFormat format_;
  std::optional<Resampler> converter_;
  bool restarting_ = false;  // a rebuild is scheduled
  bool retrying_ = false;    // a rebuild waits to try again
  bool lost_ = false;        // the sound service went away and no rebuild has succeeded since
  bool keepingTime_ = false;
  std::uint64_t gapFrames_ = 0;  // silence sent since the first change before a rebuild
  // When the first frame sent was played, and how many frames were sent since.
  std::optional<std::chrono::steady_clock::time_point> clockStart_;
  std::uint64_t sentFrames_ = 0;
  TaskQueue queue_;  // last: its thread must stop before the fields it uses go
};

}  // namespace sonacap
