#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/process.h"
#include "common/testing/temp_dir.h"

namespace sonacap::testing {

using namespace std::chrono_literals;

// A fresh folder under /tmp for one test: short, so socket paths in it fit their limit.
struct TempFolder : quorvel::testing::TempDir {
  TempFolder() : TempDir("sonacap-test", "/tmp") {}
};

struct Message {
  std::uint8_t type = 0;
  std::string payload;
};

// The server's end: listens on a Unix-domain socket and reads the tool's messages.
class TestServer {
 public:
  explicit TestServer(const std::string& path);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Accepts the tool's connection; false when none comes within the limit.
  bool accept(std::chrono::milliseconds limit = 10s);
  // The next whole message; absent when none is complete within the limit or the stream ended.
  std::optional<Message> next(std::chrono::milliseconds limit = 10s);
  // The next event within the limit, as JSON, skipping audio (which goes to audio, if given);
  // null when none comes.
  nlohmann::json nextEvent(std::chrono::milliseconds limit = 10s,
                           std::vector<float>* audio = nullptr);
  // Whether the tool closed its end (or died) within the limit, reading and dropping what comes.
  bool endOfStream(std::chrono::milliseconds limit = 10s);
  void sendBytes(const std::string& bytes);
  void shutdownWriting();
  void close();
  int connection() const { return connection_; }

 private:
  bool fill(std::size_t bytes, std::chrono::steady_clock::time_point deadline);

  int listener_ = -1;
  int connection_ = -1;
  std::string path_;
  std::string buffered_;
};

// Audio payload as samples.
std::vector<float> samplesOf(const std::string& payload);

// The frequency with the strongest component between low and high hertz, in steps of step.
double peakFrequency(const std::vector<float>& samples, double rate, double low, double high,
                     double step);

// The amplitude of the component at frequency hertz of sound at 48000 frames a second.
double amplitudeAt(const std::vector<float>& samples, double frequency);

// What ffprobe says of a movie file: its entries as CSV lines, after any further options.
std::string ffprobe(const std::string& path, const std::string& entries,
                    std::vector<std::string> options = {});

// Runs a program found on PATH; its output, or absent when it could not run or failed.
std::optional<std::string> runTool(const std::string& executable,
                                   const std::vector<std::string>& args);

// The exit status of a child, waited for at most limit; killed and reported as signalled after.
quorvel::ExitStatus waitWithin(pid_t pid, std::chrono::milliseconds limit);

// A private sound server, "pulseaudio" or "pipewire" (with its PulseAudio service), with the
// null sink "cap0" at rate as its default sink; this process and its children talk to it
// through PULSE_SERVER.
class SoundServer {
 public:
  explicit SoundServer(const std::string& kind = "pulseaudio", int rate = 48000);
  ~SoundServer();
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  bool started() const { return started_; }
  // Kills the sound service outright, as a crash or an upgrade does; revive starts it again.
  void crash();
  bool revive();
  // Runs pactl with args; its output, or absent when it failed.
  std::optional<std::string> pactl(const std::vector<std::string>& args);
  // Starts playing samples (mono float at 48000 Hz) on sink; the player's pid, -1 on failure.
  // The player is pacat, or a copy of it under the executable name player.
  pid_t play(const std::vector<float>& samples, const std::string& sink,
             const std::string& player = "pacat");
  const std::string& log() const { return log_; }

 private:
  TempFolder folder_;
  bool started_ = false;
  std::string log_;
  int played_ = 0;
};

// A private X11 desktop, Xvfb with openbox, that this process and its children reach
// through DISPLAY.
class X11Desktop {
 public:
  X11Desktop();
  ~X11Desktop();
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  bool started() const { return started_; }
  const std::string& log() const { return log_; }
  // Ends the window manager, as a crash does; the windows stay.
  void stopWindowManager();

 private:
  TempFolder folder_;
  bool started_ = false;
  std::string log_;
};

}  // namespace sonacap::testing
