#include "server/screen_sound.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "server/capture.h"

namespace sonacap {
namespace {

// Gaps are filled only between these lengths, in seconds: shorter ones are delivery jitter,
// longer ones a clock that jumped.
constexpr double SHORTEST_GAP = 0.05;
constexpr double LONGEST_GAP = 3600.0;
constexpr std::size_t SILENCE_CHUNK = 48000;

float sampleAt(std::span<const std::byte> data, std::size_t index) {
  float sample = 0;
  std::memcpy(&sample, data.data() + index * sizeof(float), sizeof(float));
  return sample;
}

// The buffer's first frames, channels interleaved, as the movie file takes them.
std::vector<float> interleavedCopy(const SoundBuffer& buffer, std::size_t frames,
                                   std::size_t channels) {
  std::vector<float> out(frames * channels, 0.0f);
  if (buffer.interleaved) {
    std::memcpy(out.data(), buffer.planes.front().data.data(), out.size() * sizeof(float));
    return out;
  }
  for (std::size_t c = 0; c < channels; ++c) {
    const auto data = buffer.planes[c].data;
    const std::size_t count = std::min(frames, data.size() / sizeof(float));
    for (std::size_t j = 0; j < count; ++j) out[j * channels + c] = sampleAt(data, j);
  }
  return out;
}

}  // namespace

void ScreenSound::video(const VideoFrame& frame) {
  if (!recordStart_ && frame.valid && std::isfinite(frame.time)) recordStart_ = frame.time;
}

void ScreenSound::send(std::span<const float> samples) {
  link_.send(AUDIO_MESSAGE, std::as_bytes(samples));
  sentFrames_ += static_cast<std::int64_t>(samples.size());
}

void ScreenSound::sound(const SoundBuffer& buffer, RecordingOutput* movie) {
  if (!buffer.valid || buffer.samples == 0 || !buffer.described || !buffer.linearPcm ||
      !buffer.floating || buffer.bits != 32 || !(buffer.rate > 0)) {
    return;
  }
  if (buffer.planes.empty() || buffer.planes.front().data.empty()) return;
  const std::size_t planes = buffer.planes.size();
  const std::size_t channels = buffer.interleaved ? buffer.planes.front().channels : planes;
  const std::size_t perFrame = buffer.interleaved ? channels : 1;
  if (channels == 0) return;
  const std::size_t samples = buffer.planes.front().data.size() / sizeof(float);
  if (samples < perFrame) return;
  const std::size_t frames = samples / perFrame;
  const double rate = buffer.rate;
  const double t = buffer.time;

  if (std::isfinite(t)) {
    const std::optional<double> reference = audioEnd_ ? audioEnd_ : recordStart_;
    if (reference) {
      const double gap = t - *reference;
      if (gap > SHORTEST_GAP && gap < LONGEST_GAP) {
        static const std::vector<float> silence(SILENCE_CHUNK, 0.0f);
        auto missing = static_cast<std::int64_t>(gap * OUT_RATE);
        while (missing > 0) {
          const auto chunk = std::min<std::int64_t>(missing, SILENCE_CHUNK);
          send(std::span(silence.data(), static_cast<std::size_t>(chunk)));
          missing -= chunk;
        }
      }
    }
    audioEnd_ = t + static_cast<double>(frames) / rate;
  }

  const std::vector<float> interleaved = interleavedCopy(buffer, frames, channels);
  if (movie) movie->sound(interleaved, static_cast<std::uint32_t>(channels), rate, t);
  const auto mixed = mixDown(interleaved, static_cast<std::uint32_t>(channels));
  if (!mixed) return;
  const std::vector<float>& mono = *mixed;

  if (rate == OUT_RATE) {
    send(mono);
    return;
  }
  if (!converter_ || converterRate_ != rate) {
    converter_.reset();
    auto made = Resampler::make(rate, OUT_RATE);
    if (std::holds_alternative<std::string>(made)) return;
    converter_.emplace(std::move(std::get<Resampler>(made)));
    converterRate_ = rate;
  }
  const auto capacity = convertedCapacity(rate, frames);
  if (!capacity) return;
  std::vector<float> out(*capacity);
  const auto converted = converter_->process(mono, out);
  if (converted && *converted > 0) send(std::span(out.data(), *converted));
}

double SoundClock::stamp(double arrived, std::size_t frames, double rate, std::uint64_t lost) {
  const double duration = static_cast<double>(frames) / rate;
  if (!base_) base_ = arrived - duration;
  counted_ += static_cast<double>(lost) / rate;
  double start = *base_ + counted_;
  double lead = arrived - duration - start;
  if (lead > GAP) {
    *base_ += lead;
    start += lead;
    lead = 0;
  }
  windowLead_ = windowLead_ ? std::min(*windowLead_, lead) : lead;
  counted_ += duration;
  if (counted_ - windowStart_ >= WINDOW) {
    if (std::abs(*windowLead_) > TOLERANCE) *base_ += *windowLead_;
    windowStart_ = counted_;
    windowLead_.reset();
  }
  return start;
}

}  // namespace sonacap
