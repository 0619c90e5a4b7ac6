#include "server/stream_mixer.h"

#include <algorithm>

namespace sonacap {

void StreamMixer::remove(std::uint32_t stream) {
  const auto found = streams_.find(stream);
  if (found == streams_.end()) return;
  if (found->second.samples.empty()) {
    streams_.erase(found);
  } else {
    found->second.ended = true;
    found->second.primed = true;
  }
}

void StreamMixer::feed(std::uint32_t stream, std::span<const float> samples) {
  const auto found = streams_.find(stream);
  if (found == streams_.end() || found->second.ended) return;
  Pending& pending = found->second;
  pending.samples.insert(pending.samples.end(), samples.begin(), samples.end());
  if (pending.samples.size() > limit_) {
    pending.samples.erase(
        pending.samples.begin(),
        pending.samples.begin() + static_cast<std::ptrdiff_t>(pending.samples.size() - limit_));
  }
  if (pending.samples.size() >= pending.prime) pending.primed = true;
}

void StreamMixer::mix(std::span<float> out) {
  std::fill(out.begin(), out.end(), 0.0f);
  for (auto it = streams_.begin(); it != streams_.end();) {
    Pending& pending = it->second;
    if (pending.primed) {
      const std::size_t taken = std::min(out.size(), pending.samples.size());
      for (std::size_t i = 0; i < taken; ++i) out[i] += pending.samples[i];
      pending.samples.erase(pending.samples.begin(),
                            pending.samples.begin() + static_cast<std::ptrdiff_t>(taken));
      if (taken < out.size() && !pending.ended) {
        pending.primed = false;
        pending.prime = std::min(pending.prime * 3 / 2, std::max(prime_, limit_ / 4));
      }
    }
    if (pending.ended && pending.samples.empty()) {
      it = streams_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace sonacap
