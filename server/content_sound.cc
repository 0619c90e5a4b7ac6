#include "server/content_sound.h"

#include <chrono>
#include <variant>

namespace sonacap {
namespace {

constexpr std::chrono::milliseconds RETRY{500};

}  // namespace

ContentSound::ContentSound(StreamChoice choice) : choice_(std::move(choice)) {}

std::optional<ScreenError> ContentSound::open(TaskQueue& queue,
                                              std::function<void(SoundBuffer)> onSound) {
  queue_ = &queue;
  onSound_ = std::move(onSound);
  tap_ = makeSystemAudioTap(choice_);
  tap_->watch([this](TapChange) {
    if (!reopening_.exchange(true)) queue_->async([this] { reopen(); });
  });
  auto opened = tap_->open();
  if (auto* failure = std::get_if<TapError>(&opened)) return ScreenError{failure->message, 0};
  format_ = std::get<TapFormat>(opened);
  return std::nullopt;
}

std::optional<ScreenError> ContentSound::start() {
  if (auto error = tap_->start(*queue_, [this](Delivery delivery) { deliver(delivery); })) {
    return ScreenError{error->message, 0};
  }
  return std::nullopt;
}

void ContentSound::stop() {
  stopping_ = true;
  if (tap_) tap_->stop();
}

void ContentSound::reopen() {
  if (stopping_) return;
  tap_->stop();
  auto opened = tap_->open();
  if (const auto* format = std::get_if<TapFormat>(&opened)) {
    format_ = *format;
    reopening_ = false;
    if (!tap_->start(*queue_, [this](Delivery delivery) { deliver(delivery); })) return;
    reopening_ = true;
    tap_->stop();
  }
  queue_->after(RETRY, [this] { reopen(); });
}

void ContentSound::deliver(const Delivery& delivery) {
  const std::uint32_t channels = format_.channels;
  if (channels == 0 || delivery.samples.empty()) return;
  const std::size_t frames = delivery.samples.size() / channels;
  SoundBuffer buffer;
  buffer.samples = frames;
  buffer.rate = format_.rate;
  buffer.time = clock_.stamp(steadySeconds(), frames, format_.rate, delivery.lostFrames);
  buffer.planes.push_back({channels, std::as_bytes(delivery.samples)});
  onSound_(buffer);
}

}  // namespace sonacap
