#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "server/link.h"
#include "server/resampler.h"
#include "server/screen_source.h"

namespace sonacap {

// The screen recording's sound on its way to the server: mono at OUT_RATE on one timeline that
// begins at the first video frame, with silence where the stream's sound has a gap. Used only
// on the screen recorder's queue.
class ScreenSound {
 public:
  explicit ScreenSound(Link& link) : link_(link) {}

  // A picture of the stream: the first valid one with a finite time starts the timeline.
  void video(const VideoFrame& frame);
  // One buffer of sound: sent to the server, and to movie when there is one. A buffer that is
  // not whole 32-bit float PCM is dropped without a word.
  void sound(const SoundBuffer& buffer, RecordingOutput* movie = nullptr);

  // Frames at OUT_RATE sent so far, silence included.
  std::int64_t sentFrames() const { return sentFrames_; }
  std::optional<double> recordStart() const { return recordStart_; }

 private:
  void send(std::span<const float> samples);

  Link& link_;
  std::optional<double> recordStart_;
  std::optional<double> audioEnd_;
  std::optional<Resampler> converter_;
  double converterRate_ = 0;
  std::int64_t sentFrames_ = 0;
};

// Gives the stream's sound presentation times counted from its samples, held to the clock the
// video frames are stamped with. A sound card's clock runs a little fast or slow against the
// system's, so times taken from arrival alone jitter by the delivery and times from the count
// alone drift; the count is kept and moved toward the clock by the smallest lead seen in each
// window, which arrival jitter (always late) does not inflate.
class SoundClock {
 public:
  // The presentation time of a buffer of frames at rate that arrived, complete, at arrived
  // (seconds on the video clock), after lost frames the sound system did not deliver.
  double stamp(double arrived, std::size_t frames, double rate, std::uint64_t lost = 0);

  static constexpr double WINDOW = 2.0;       // seconds of sound per correction
  static constexpr double TOLERANCE = 0.005;  // offsets this small are left alone
  static constexpr double GAP = 0.5;          // a delivery this late is a gap, taken at once

 private:
  std::optional<double> base_;        // time of the first frame
  double counted_ = 0;                // seconds of sound since base_
  double windowStart_ = 0;            // counted_ when the window began
  std::optional<double> windowLead_;  // the smallest arrival lead over the count this window
};

}  // namespace sonacap
