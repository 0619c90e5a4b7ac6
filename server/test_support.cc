#include "server/test_support.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <future>
#include <numbers>
#include <thread>

#include <gtest/gtest.h>

#include "common/files.h"
#include "common/text.h"
#include "server/link.h"

namespace sonacap::testing {

TestServer::TestServer(const std::string& path) : path_(path) {
  // Close-on-exec: a sound server the test starts later must not keep the connection open.
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof(address.sun_path) - 1));
  ::unlink(path.c_str());
  ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  ::listen(listener_, 4);
}

TestServer::~TestServer() {
  close();
  ::close(listener_);
  ::unlink(path_.c_str());
}

bool TestServer::accept(std::chrono::milliseconds limit) {
  pollfd waiting{listener_, POLLIN, 0};
  if (::poll(&waiting, 1, static_cast<int>(limit.count())) != 1) return false;
  connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  return connection_ >= 0;
}

bool TestServer::fill(std::size_t bytes, std::chrono::steady_clock::time_point deadline) {
  char chunk[65536];
  while (buffered_.size() < bytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd waiting{connection_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) != 1) {
      return false;
    }
    const ssize_t got = ::read(connection_, chunk, sizeof(chunk));
    if (got <= 0) return false;
    buffered_.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

std::optional<Message> TestServer::next(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (!fill(5, deadline)) return std::nullopt;
  std::uint32_t length = 0;
  for (int i = 4; i >= 1; --i) length = (length << 8) | static_cast<std::uint8_t>(buffered_[i]);
  if (!fill(5 + length, deadline)) return std::nullopt;
  Message message{static_cast<std::uint8_t>(buffered_[0]), buffered_.substr(5, length)};
  buffered_.erase(0, 5 + length);
  return message;
}

bool TestServer::endOfStream(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char chunk[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd waiting{connection_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) != 1) {
      return false;
    }
    if (::read(connection_, chunk, sizeof(chunk)) <= 0) return true;
  }
}

void TestServer::sendBytes(const std::string& bytes) {
  ASSERT_EQ(::write(connection_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void TestServer::shutdownWriting() { ::shutdown(connection_, SHUT_WR); }

void TestServer::close() {
  if (connection_ >= 0) ::close(connection_);
  connection_ = -1;
}

nlohmann::json TestServer::nextEvent(std::chrono::milliseconds limit, std::vector<float>* audio) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (const auto message =
             next(std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())))) {
    if (message->type == EVENT_MESSAGE) return nlohmann::json::parse(message->payload);
    if (audio != nullptr) {
      const auto samples = samplesOf(message->payload);
      audio->insert(audio->end(), samples.begin(), samples.end());
    }
  }
  return nullptr;
}

double amplitudeAt(const std::vector<float>& samples, double frequency) {
  double re = 0;
  double im = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / 48000.0;
    re += samples[i] * std::cos(phase);
    im += samples[i] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(std::max<std::size_t>(samples.size(), 1));
}

std::vector<float> samplesOf(const std::string& payload) {
  std::vector<float> samples(payload.size() / 4);
  std::memcpy(samples.data(), payload.data(), samples.size() * 4);
  return samples;
}

double peakFrequency(const std::vector<float>& samples, double rate, double low, double high,
                     double step) {
  double best = 0;
  double bestPower = -1;
  for (double f = low; f <= high; f += step) {
    // Goertzel's recurrence for one frequency.
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * f / rate);
    double s1 = 0;
    double s2 = 0;
    for (const float x : samples) {
      const double s0 = x + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    if (power > bestPower) {
      bestPower = power;
      best = f;
    }
  }
  return best;
}

std::string ffprobe(const std::string& path, const std::string& entries,
                    std::vector<std::string> options) {
  quorvel::SpawnRequest request;
  request.executable = "ffprobe";
  request.searchPath = true;
  request.arguments = {"-v", "error"};
  request.arguments.insert(request.arguments.end(), options.begin(), options.end());
  request.arguments.insert(request.arguments.end(),
                           {"-show_entries", entries, "-of", "csv=p=0", path});
  std::string error;
  const auto result = quorvel::runCaptured(request, &error);
  return result ? result->output : error;
}

quorvel::ExitStatus waitWithin(pid_t pid, std::chrono::milliseconds limit) {
  auto waited = std::async(std::launch::async, [pid] { return quorvel::waitForExit(pid); });
  if (waited.wait_for(limit) == std::future_status::ready) return waited.get();
  ::kill(pid, SIGKILL);
  waited.get();
  return quorvel::ExitStatus{.signaled = true, .code = SIGKILL};
}

std::optional<std::string> runTool(const std::string& executable,
                                   const std::vector<std::string>& args) {
  std::string error;
  quorvel::SpawnRequest request;
  request.executable = executable;
  request.arguments = args;
  request.searchPath = true;
  const auto ran = quorvel::runCaptured(request, &error);
  if (!ran || !ran->status.success()) return std::nullopt;
  return ran->output;
}

SoundServer::SoundServer(const std::string& kind, int rate) {
  const std::string dir = folder_.path() + "/sound";
  ::setenv("PULSE_SERVER", ("unix:" + dir + "/native").c_str(), 1);
  const auto out = runTool(SOUND_SERVER_SCRIPT, {"start", dir, kind, std::to_string(rate)});
  started_ = out.has_value();
  if (!started_) log_ = runTool("/bin/sh", {"-c", "cat " + dir + "/*.log"}).value_or("");
}

SoundServer::~SoundServer() { runTool(SOUND_SERVER_SCRIPT, {"stop", folder_.path() + "/sound"}); }

void SoundServer::crash() { runTool(SOUND_SERVER_SCRIPT, {"crash", folder_.path() + "/sound"}); }

bool SoundServer::revive() {
  return runTool(SOUND_SERVER_SCRIPT, {"revive", folder_.path() + "/sound"}).has_value();
}

std::optional<std::string> SoundServer::pactl(const std::vector<std::string>& args) {
  return runTool("pactl", args);
}

pid_t SoundServer::play(const std::vector<float>& samples, const std::string& sink,
                        const std::string& player) {
  const std::string file = folder_.path() + "/tone-" + std::to_string(++played_) + ".f32";
  if (!quorvel::writeFile(
          file, std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 4))) {
    return -1;
  }
  quorvel::SpawnRequest request;
  request.executable = "pacat";
  if (player != "pacat") {
    request.executable = folder_.path() + "/" + player;
    std::error_code error;
    std::filesystem::copy_file("/usr/bin/pacat", request.executable,
                               std::filesystem::copy_options::skip_existing, error);
    if (error) return -1;
  }
  // A buffer longer than the tone: on a busy machine the player never runs dry, so the sink
  // plays the tone without holes of its own.
  request.arguments = {"--playback",         "--raw",
                       "--format=float32le", "--channels=1",
                       "--rate=48000",       "--latency-msec=2000",
                       "--device=" + sink,   file};
  request.searchPath = true;
  return quorvel::spawnProcess(request).pid;
}

X11Desktop::X11Desktop() {
  const std::string dir = folder_.path() + "/x11";
  const auto out = runTool(X11_RIG_SCRIPT, {"start", dir});
  started_ = out.has_value();
  if (!started_) {
    log_ = runTool("/bin/sh", {"-c", "cat " + dir + "/*.log"}).value_or("");
    return;
  }
  const std::string display =
      quorvel::trimWhitespace(quorvel::readFile(dir + "/display").value_or(""));
  ::setenv("DISPLAY", display.c_str(), 1);
}

X11Desktop::~X11Desktop() {
  runTool(X11_RIG_SCRIPT, {"stop", folder_.path() + "/x11"});
  ::unsetenv("DISPLAY");
}

void X11Desktop::stopWindowManager() {
  runTool(X11_RIG_SCRIPT, {"stop-wm", folder_.path() + "/x11"});
}

}  // namespace sonacap::testing
