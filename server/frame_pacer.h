#pragma once

#include <cstddef>
#include <deque>
#include <optional>

#include "server/screen_source.h"

namespace sonacap {

// Turns pictures that come only when the screen changes into a constant frame rate: slot n of
// the movie shows the newest picture that had arrived by its time, or the last one again.
// At most depth pictures wait for the encoder; when more come, the oldest go first.
class FramePacer {
 public:
  explicit FramePacer(std::size_t depth) : depth_(depth) {}

  void offer(VideoFrame frame);
  // The picture for the slot at slotTime; absent while no picture has come by then.
  std::optional<VideoFrame> take(double slotTime);

 private:
  const std::size_t depth_;
  std::deque<VideoFrame> waiting_;
  std::optional<VideoFrame> shown_;
};

}  // namespace sonacap
