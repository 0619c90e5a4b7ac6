#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "server/task_queue.h"

namespace sonacap {

// A failure as the screen's platform reports it.
struct ScreenError {
  std::string description;
  long code = 0;
  bool declined = false;  // the user declined to let the screen be recorded
};

// Now on the clock that frames and sound are stamped with: the steady clock, in seconds.
inline double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// What the user chose in the picker: its size in points, and pixels per point.
struct ScreenContent {
  double width = 0;
  double height = 0;
  double scale = 1;
};

struct CaptureSize {
  int width = 0;
  int height = 0;
  bool operator==(const CaptureSize&) const = default;
};

// One picture of the stream: rows of 32-bit pixels, bytes blue, green, red, unused.
struct VideoFrame {
  bool valid = true;
  double time = 0;  // presentation time in seconds, on the clock of the sound's times
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes from one row to the next
  std::shared_ptr<const std::vector<std::uint8_t>> pixels;
};

// One buffer of the stream's sound, as the platform describes it.
struct SoundBuffer {
  struct Plane {
    std::uint32_t channels = 0;
    std::span<const std::byte> data;  // empty when the plane has no data
  };
  bool valid = true;
  std::size_t samples = 0;  // frames, as the buffer counts them
  double time = 0;          // presentation time in seconds; may be NaN
  bool described = true;    // it carries a format description
  bool linearPcm = true;
  bool floating = true;
  bool interleaved = true;
  std::uint32_t bits = 32;
  double rate = 0;
  std::vector<Plane> planes;  // one with all channels interleaved, or one per channel
};

// What the screen recorder asks of a stream.
struct StreamSettings {
  CaptureSize size;
  double frameInterval = 0.1;  // seconds between frames, at least
};

// The system's content picker and its capture stream, as the screen recorder uses them.
class ScreenSource {
 public:
  struct PickerEvents {
    std::function<void(ScreenContent)> chosen;
    std::function<void()> cancelled;
    std::function<void(ScreenError)> failed;
  };
  struct StreamEvents {
    std::function<void(VideoFrame)> video;     // on the queue given to open
    std::function<void(SoundBuffer)> sound;    // on the queue given to open
    std::function<void(ScreenError)> stopped;  // the stream stopped by itself, with an error
  };

  virtual ~ScreenSource() = default;

  // What this system lacks for recording the screen, if anything, said for the user.
  virtual std::optional<std::string> missing() = 0;
  // Shows the picker and returns once it is on its way; the outcome comes to events, once,
  // on a thread of the source's.
  virtual void pick(PickerEvents events) = 0;
  // Prepares the stream of the chosen content; fails when it cannot deliver frames and sound.
  [[nodiscard]] virtual std::optional<ScreenError> open(const ScreenContent& content,
                                                        const StreamSettings& settings,
                                                        TaskQueue& queue, StreamEvents events) = 0;
  // Starts the opened stream; done on a thread of the source's, with the failure if any.
  virtual void start(std::function<void(std::optional<ScreenError>)> done) = 0;
  // Stops the stream; done once no more frames or sound will come.
  virtual void stop(std::function<void()> done) = 0;
};

// The movie file, written from the frames and sound handed to it in order.
class RecordingOutput {
 public:
  struct Events {
    std::function<void()> started;                 // the file's header is written
    std::function<void(double seconds)> finished;  // the file is closed; what it holds
    std::function<void(ScreenError)> failed;
  };
  virtual ~RecordingOutput() = default;
  virtual void video(const VideoFrame& frame) = 0;
  // Interleaved float frames of channels channels at rate, the first at time.
  virtual void sound(std::span<const float> frames, std::uint32_t channels, double rate,
                     double time) = 0;
  // Closes the file once what was handed over is written; finished or failed follows.
  virtual void finish() = 0;
};

// Makes the recording output for a movie file at path of pictures of size.
using RecordingMaker = std::function<std::variant<std::unique_ptr<RecordingOutput>, ScreenError>(
    const std::string& path, CaptureSize size, RecordingOutput::Events events)>;

// The capture size for chosen content: its pixels, scaled down to fit 1920 x 1200, sides even
// and at least 2; 1920 x 1080 for content with a side under 16 pixels.
CaptureSize captureSize(const ScreenContent& content);

}  // namespace sonacap
