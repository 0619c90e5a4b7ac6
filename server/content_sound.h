#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "server/audio_tap.h"
#include "server/screen_sound.h"
#include "server/screen_source.h"
#include "server/task_queue.h"

namespace sonacap {

// The sound of a screen recording's content: the default output's, or the chosen streams'
// when given a choice. The tap is opened again whenever the output changes or the sound
// service goes away, tried every half second until it opens; the pictures go on meanwhile and
// the movie holds silence for the time without sound. Buffers are stamped on the steady clock.
class ContentSound {
 public:
  explicit ContentSound(StreamChoice choice = {});

  // Opens the tap; once started, its sound goes to onSound, on queue.
  [[nodiscard]] std::optional<ScreenError> open(TaskQueue& queue,
                                                std::function<void(SoundBuffer)> onSound);
  [[nodiscard]] std::optional<ScreenError> start();
  // No sound comes after this, apart from buffers already on the queue.
  void stop();

 private:
  void reopen();
  void deliver(const Delivery& delivery);

  StreamChoice choice_;
  std::unique_ptr<AudioTap> tap_;
  TaskQueue* queue_ = nullptr;
  std::function<void(SoundBuffer)> onSound_;
  std::atomic<bool> stopping_ = false;
  std::atomic<bool> reopening_ = false;
  TapFormat format_;  // used on the queue once started
  SoundClock clock_;
};

}  // namespace sonacap
