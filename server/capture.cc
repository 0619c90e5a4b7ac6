#include "server/capture.h"

#include <algorithm>
#include <cmath>
#include <variant>

namespace sonacap {
namespace {

// The most silence one audio message carries: one second.
constexpr std::uint64_t SILENCE_CHUNK = 48000;

}  // namespace

std::optional<std::vector<float>> mixDown(std::span<const float> frames, std::uint32_t channels) {
  if (channels < 1 || frames.size() < channels) return std::nullopt;
  const std::size_t count = frames.size() / channels;
  const auto divisor = static_cast<float>(channels);
  std::vector<float> mono(count);
  for (std::size_t i = 0; i < count; ++i) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) sum += frames[i * channels + c];
    mono[i] = sum / divisor;
  }
  return mono;
}

std::optional<std::uint32_t> convertedCapacity(double inRate, std::size_t frames) {
  const double quotient = OUT_RATE * static_cast<double>(frames) / inRate;
  if (!std::isfinite(quotient) || quotient <= -1.0 || quotient >= 4294967296.0 - 64.0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(quotient) + 64;
}

Capture::Capture(Link& link, std::vector<std::string> bundles, AudioTap& tap, Exit exit,
                 CaptureTiming timing, Clock now)
    : link_(link),
      bundles_(std::move(bundles)),
      audio_(tap),
      exit_(std::move(exit)),
      timing_(timing),
      now_(std::move(now)) {
  queue_.startThread("quorvel.sonacap");
}

std::optional<TapError> Capture::start() {
  auto opened = audio_.open();
  if (auto* error = std::get_if<TapError>(&opened)) return *error;
  format_ = std::get<TapFormat>(opened);
  if (format_.rate == OUT_RATE) {
    converter_.reset();
  } else {
    // Sound at another rate than the server expects would be wrong, so this is fatal.
    auto made = Resampler::make(format_.rate, OUT_RATE);
    if (auto* reason = std::get_if<std::string>(&made)) return TapError{"soxr_create: " + *reason};
    converter_.emplace(std::move(std::get<Resampler>(made)));
  }
  if (auto error = audio_.start(queue_, [this](Delivery delivery) { handle(delivery); })) {
    return error;
  }
  if (!keepingTime_ && timing_.clockCheck.count() > 0) {
    keepingTime_ = true;
    queue_.after(timing_.clockCheck, [this] { keepTime(); });
  }
  return std::nullopt;
}

void Capture::keepTime() {
  if (lost_ || retrying_) gapFrames_ += fillGap(timing_.lagLimit);
  queue_.after(timing_.clockCheck, [this] { keepTime(); });
}

nlohmann::json Capture::info() {
  return {{"rate", format_.rate},
          {"channels", format_.channels},
          {"streams", format_.streams},
          {"only", bundles_}};
}

void Capture::restart(TapChange change) {
  queue_.async([this, change] {
    if (change == TapChange::lost) lost_ = true;
    // A change while a rebuild waits to try again is seen by that try.
    if (restarting_ || retrying_) return;
    restarting_ = true;
    gapFrames_ = 0;
    queue_.after(timing_.rebuildDelay, [this] { rebuild(); });
  });
}

void Capture::rebuild() {
  restarting_ = false;
  stop();
  attempt(now_());
}

void Capture::attempt(std::chrono::steady_clock::time_point began) {
  if (const auto error = start()) {
    stop();
    // The sound service restarting (an upgrade, a crash) usually takes well under a second.
    if (now_() - began < timing_.retryLimit) {
      retrying_ = true;
      queue_.after(timing_.retryPause, [this, began] { attempt(began); });
      return;
    }
    link_.json({{"event", "error"}, {"message", error->message}});
    exit_(1);
    return;
  }
  retrying_ = false;
  lost_ = false;
  gapFrames_ += fillGap();
  nlohmann::json event = info();
  event["event"] = "restarted";
  event["gap"] = std::round(static_cast<double>(gapFrames_) / OUT_RATE * 1000.0) / 1000.0;
  link_.json(event);
}

void Capture::stop() {
  audio_.stop();
  converter_.reset();
}

std::uint64_t Capture::fillGap(std::chrono::milliseconds allowed) {
  if (!clockStart_) return 0;
  const std::chrono::duration<double> elapsed = now_() - *clockStart_;
  const double missing = elapsed.count() * OUT_RATE - static_cast<double>(sentFrames_);
  const double allowedFrames = std::chrono::duration<double>(allowed).count() * OUT_RATE;
  if (!(missing >= 1.0) || missing <= allowedFrames) return 0;
  const auto frames = static_cast<std::uint64_t>(std::llround(missing));
  sendSilence(frames);
  return frames;
}

void Capture::sendSamples(std::span<const float> samples) {
  link_.send(AUDIO_MESSAGE, std::as_bytes(samples));
  sentFrames_ += samples.size();
}

void Capture::sendSilence(std::uint64_t frames) {
  static const std::vector<float> zeros(SILENCE_CHUNK, 0.0f);
  while (frames > 0) {
    const std::uint64_t chunk = std::min(frames, SILENCE_CHUNK);
    sendSamples(std::span(zeros.data(), static_cast<std::size_t>(chunk)));
    frames -= chunk;
  }
}

void Capture::handle(Delivery delivery) {
  if (!(format_.rate > 0)) return;
  std::optional<std::vector<float>> mixed;
  std::span<const float> mono = delivery.samples;
  if (format_.channels != 1) {
    mixed = mixDown(delivery.samples, format_.channels);
    mono = mixed ? std::span<const float>(*mixed) : std::span<const float>();
  }
  if (!mono.empty() && !clockStart_) {
    clockStart_ = now_() - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(mono.size() / format_.rate));
  }
  if (!mono.empty() && !converter_) {
    sendSamples(mono);
  } else if (!mono.empty()) {
    if (const auto capacity = convertedCapacity(format_.rate, mono.size())) {
      std::vector<float> out(*capacity);
      const auto converted = converter_->process(mono, out);
      if (converted && *converted > 0) sendSamples(std::span(out.data(), *converted));
    }
  }
  if (delivery.lostFrames > 0) {
    sendSilence(static_cast<std::uint64_t>(
        std::llround(static_cast<double>(delivery.lostFrames) * OUT_RATE / format_.rate)));
  }
}

}  // namespace sonacap
