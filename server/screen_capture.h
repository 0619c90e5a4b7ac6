#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "server/link.h"
#include "server/screen_sound.h"
#include "server/screen_source.h"
#include "server/task_queue.h"

namespace sonacap {

// Runs task once delay has passed, on a thread of its own.
using Timer = std::function<void(std::chrono::duration<double> delay, Task task)>;
void runAfter(std::chrono::duration<double> delay, Task task);

struct ScreenTiming {
  // The longest the movie file may take to close once the recorder is ending.
  std::chrono::duration<double> wrapUp{600.0};
  // Between the report that the user declined and the exit.
  std::chrono::duration<double> deniedGrace{1.5};
};

// The screen recording: the user picks what to record in the system's picker, the recorder
// writes it to a movie file and streams its sound to the server, and ends the process itself.
// Its own work runs on the serial queue "quorvel.screen"; the picker's and the stream's
// callbacks may come on other threads.
class ScreenCapture {
 public:
  using Exit = std::function<void(int)>;

  // output is the movie file's absolute path. Touches neither the file nor the source.
  ScreenCapture(Link& link, std::string output, ScreenSource& source, RecordingMaker makeRecording,
                Exit exit = Link::exitNow, Timer timer = runAfter, ScreenTiming timing = {});
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  // Checks that the movie file can be written and shows the picker. Called once.
  void pick();
  // Ends the recording and then the process; from any thread, any number of times.
  void finish();

 private:
  void begin(const ScreenContent& content);
  void fail(const char* place, const ScreenError& error);
  void startDone(const std::optional<ScreenError>& error);
  void stopSequence();
  void recordingFinished(double seconds);
  void recordingFailed(const ScreenError& error);
  void streamStopped(const ScreenError& error);
  void armWrapUp();
  bool recordingOpen() const { return hasRecording_.load() && !recordingDone_; }

  Link& link_;
  const std::string output_;
  ScreenSource& source_;
  const RecordingMaker makeRecording_;
  const Exit exit_;
  const Timer timer_;
  const ScreenTiming timing_;
  CaptureSize size_;
  // Set once, on the picker's thread, before hasRecording_ and hasStream_.
  std::unique_ptr<RecordingOutput> recording_;
  std::atomic<bool> hasRecording_ = false;
  std::atomic<bool> hasStream_ = false;
  std::atomic<bool> started_ = false;
  // On the queue only.
  bool finishing_ = false;
  bool recordingDone_ = false;
  ScreenSound sound_;
  TaskQueue queue_;  // last: its thread must stop before the fields it uses go
};

}  // namespace sonacap
