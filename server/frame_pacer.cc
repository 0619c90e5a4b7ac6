#include "server/frame_pacer.h"

namespace sonacap {

void FramePacer::offer(VideoFrame frame) {
  if (!frame.valid || !frame.pixels) return;
  waiting_.push_back(std::move(frame));
  while (waiting_.size() > depth_) waiting_.pop_front();
}

std::optional<VideoFrame> FramePacer::take(double slotTime) {
  while (!waiting_.empty() && waiting_.front().time <= slotTime) {
    shown_ = std::move(waiting_.front());
    waiting_.pop_front();
  }
  return shown_;
}

}  // namespace sonacap
