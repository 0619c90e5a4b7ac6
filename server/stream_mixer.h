#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <span>

namespace sonacap {

// The sound of a few playback streams of one output, mixed on the clock of that output. Each
// stream's sound arrives on its own, a little before or after the output's; a stream is taken
// into the mix once it has gathered primeFrames, so that the usual jitter of arrival leaves
// no holes, and holds at most limitFrames (the oldest go first). A stream that runs dry all
// the same waits for half as much again the next time, up to a quarter of the limit.
class StreamMixer {
 public:
  StreamMixer(std::size_t primeFrames, std::size_t limitFrames)
      : prime_(primeFrames), limit_(limitFrames) {}

  void add(std::uint32_t stream) {
    Pending pending;
    pending.prime = prime_;
    streams_.try_emplace(stream, std::move(pending));
  }
  // The stream has ended: what it still holds is mixed, then it is gone.
  void remove(std::uint32_t stream);
  std::size_t size() const { return streams_.size(); }

  // Mono sound of a stream that was added; ignored for any other.
  void feed(std::uint32_t stream, std::span<const float> samples);
  // The next out.size() frames of the mix, as far as the output's clock has come: the sum of
  // the primed streams, silence where none has sound. A stream that runs dry is primed again.
  void mix(std::span<float> out);

 private:
  struct Pending {
    std::size_t prime = 0;
    std::deque<float> samples;
    bool primed = false;
    bool ended = false;
  };
  std::size_t prime_;
  std::size_t limit_;
  std::map<std::uint32_t, Pending> streams_;
};

}  // namespace sonacap
