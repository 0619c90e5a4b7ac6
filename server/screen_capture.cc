#include "server/screen_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>
#include <variant>

#include "server/capture.h"

namespace sonacap {
namespace {

constexpr double SMALLEST_SIDE = 16;
constexpr double LARGEST_WIDTH = 1920;
constexpr double LARGEST_HEIGHT = 1200;

int evenSide(double side) {
  const auto whole = static_cast<int>(side);
  if (whole < 2) return 2;
  return whole % 2 == 1 ? whole - 1 : whole;
}

std::string describe(const ScreenError& error) {
  return error.description + " [" + std::to_string(error.code) + "]";
}

}  // namespace

void runAfter(std::chrono::duration<double> delay, Task task) {
  runInBackground([delay, task = std::move(task)] {
    std::this_thread::sleep_for(delay);
    task();
  });
}

CaptureSize captureSize(const ScreenContent& content) {
  double w = content.width * content.scale;
  double h = content.height * content.scale;
  if (!(std::min(w, h) >= SMALLEST_SIDE)) {
    w = 1920;
    h = 1080;
  }
  const double factor = std::min({1.0, LARGEST_WIDTH / w, LARGEST_HEIGHT / h});
  return {evenSide(w * factor), evenSide(h * factor)};
}

ScreenCapture::ScreenCapture(Link& link, std::string output, ScreenSource& source,
                             RecordingMaker makeRecording, Exit exit, Timer timer,
                             ScreenTiming timing)
    : link_(link),
      output_(std::move(output)),
      source_(source),
      makeRecording_(std::move(makeRecording)),
      exit_(std::move(exit)),
      timer_(std::move(timer)),
      timing_(timing),
      sound_(link) {
  queue_.startThread("quorvel.screen");
}

void ScreenCapture::pick() {
  // The movie file is made anew by the recording; this only proves that it can be.
  const int fd = ::open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int number = errno;
    link_.json({{"event", "error"},
                {"code", "nowrite"},
                {"message",
                 std::string(std::strerror(number)) + " [errno " + std::to_string(number) + "]"}});
    exit_(1);
    return;
  }
  ::close(fd);
  ::unlink(output_.c_str());
  // Said before the picker is asked for, so that its answer cannot come first.
  link_.json({{"event", "picking"}});
  source_.pick({
      .chosen =
          [this](const ScreenContent& content) {
            // This platform's picker chooses once per session; a later choice has no stream
            // to switch and is let go.
            if (!hasStream_) begin(content);
          },
      .cancelled =
          [this] {
            if (started_ || hasStream_) return;
            link_.json({{"event", "cancelled"}});
            exit_(0);
          },
      .failed = [this](const ScreenError& error) { fail("picker", error); },
  });
}

void ScreenCapture::begin(const ScreenContent& content) {
  size_ = captureSize(content);
  const StreamSettings settings{.size = size_};
  ScreenSource::StreamEvents events{
      .video =
          [this](const VideoFrame& frame) {
            sound_.video(frame);
            if (recordingOpen()) recording_->video(frame);
          },
      .sound =
          [this](const SoundBuffer& buffer) {
            sound_.sound(buffer, recordingOpen() ? recording_.get() : nullptr);
          },
      .stopped =
          [this](const ScreenError& error) {
            queue_.async([this, error] { streamStopped(error); });
          },
  };
  if (auto error = source_.open(content, settings, queue_, std::move(events))) {
    fail("addStreamOutput", *error);
    return;
  }
  auto made = makeRecording_(output_, size_,
                             {.started =
                                  [this] {
                                    link_.json({{"event", "recording"}});
                                  },
                              .finished =
                                  [this](double seconds) {
                                    queue_.async([this, seconds] { recordingFinished(seconds); });
                                  },
                              .failed =
                                  [this](const ScreenError& error) {
                                    queue_.async([this, error] { recordingFailed(error); });
                                  }});
  if (auto* error = std::get_if<ScreenError>(&made)) {
    link_.json({{"event", "recordfailed"}, {"message", error->description}});
  } else {
    recording_ = std::move(std::get<std::unique_ptr<RecordingOutput>>(made));
    hasRecording_ = true;
  }
  hasStream_ = true;
  source_.start([this](const std::optional<ScreenError>& error) { startDone(error); });
}

void ScreenCapture::startDone(const std::optional<ScreenError>& error) {
  if (error) {
    fail("startCapture", *error);
    return;
  }
  started_ = true;
  link_.json({{"event", "started"},
              {"screen", true},
              {"width", size_.width},
              {"height", size_.height},
              {"rate", OUT_RATE},
              {"channels", 2}});
}

void ScreenCapture::fail(const char* place, const ScreenError& error) {
  nlohmann::json event{{"event", "error"},
                       {"message", std::string(place) + ": " + describe(error)}};
  if (!error.declined) {
    link_.json(event);
    exit_(1);
    return;
  }
  // The user said no in the system's own dialog; the server tells them how to allow it.
  event["code"] = "denied";
  link_.json(event);
  timer_(timing_.deniedGrace, [this] { exit_(1); });
}

void ScreenCapture::finish() {
  queue_.async([this] { stopSequence(); });
}

void ScreenCapture::armWrapUp() {
  timer_(timing_.wrapUp, [this] { exit_(0); });
}

void ScreenCapture::stopSequence() {
  if (finishing_) return;
  finishing_ = true;
  armWrapUp();
  if (!hasStream_ || !started_) {
    exit_(0);
    return;
  }
  source_.stop([this] {
    queue_.async([this] {
      if (!recordingOpen()) {
        exit_(0);
        return;
      }
      // The stream has delivered its last frame: the movie file can be closed.
      recording_->finish();
    });
  });
}

void ScreenCapture::recordingFinished(double seconds) {
  recordingDone_ = true;
  link_.json({{"event", "recorded"},
              {"path", output_},
              {"seconds", std::isfinite(seconds) ? nlohmann::json(seconds) : nlohmann::json(0)},
              {"sent", static_cast<double>(sound_.sentFrames()) / OUT_RATE}});
  if (finishing_) exit_(0);
}

void ScreenCapture::recordingFailed(const ScreenError& error) {
  recordingDone_ = true;
  link_.json({{"event", "recordfailed"}, {"message", describe(error)}});
  if (finishing_) exit_(0);
}

void ScreenCapture::streamStopped(const ScreenError& error) {
  link_.json({{"event", "stopped"}, {"message", describe(error)}});
  finishing_ = true;
  if (!recordingOpen()) {
    exit_(0);
    return;
  }
  armWrapUp();
  recording_->finish();
}

}  // namespace sonacap
