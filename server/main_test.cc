// The sonacap executable end to end: its command line, and its capture of the null sinks of a
// private PulseAudio server and of a private PipeWire with its PulseAudio service.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <numbers>

#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/text.h"
#include "server/link.h"
#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

constexpr const char* USAGE_LINE =
    "usage: sonacap --socket <path> [--bundles id,id] [--screen out.mp4]\n";

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_FALSE(folder.path().empty());
  }

  pid_t launch(const std::vector<std::string>& args) {
    const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    quorvel::SpawnRequest request;
    request.executable = SONACAP_EXECUTABLE;
    request.arguments = args;
    request.standardError = err;
    const quorvel::Spawned spawned = quorvel::spawnProcess(request);
    ::close(err);
    return spawned.pid;
  }

  std::string standardError() { return quorvel::readFile(errorFile).value_or("<none>"); }

  // The next event, skipping audio; audio seen on the way is appended to audio when given.
  nlohmann::json nextEvent(std::chrono::milliseconds limit = 10s,
                           std::vector<float>* audio = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return nullptr;
      const auto message = server.next(left);
      if (!message) return nullptr;
      if (message->type == EVENT_MESSAGE) return nlohmann::json::parse(message->payload);
      EXPECT_EQ(message->type, AUDIO_MESSAGE);
      EXPECT_EQ(message->payload.size() % 4, 0u);
      framesReceived += message->payload.size() / 4;
      if (audio != nullptr) {
        const auto samples = samplesOf(message->payload);
        audio->insert(audio->end(), samples.begin(), samples.end());
      }
    }
  }

  std::size_t framesReceived = 0;  // audio frames nextEvent has read
  TempFolder folder;
  std::string socketPath = folder.path() + "/server.sock";
  std::string errorFile = folder.path() + "/stderr.txt";
  TestServer server{socketPath};
};

TEST_F(ToolTest, UsageWithoutAUsableSocket) {
  const std::vector<std::string> cases[] = {
      {},
      {"--socket"},
      {"--socket", ""},
      {"--bundles", "a", "--socket"},
      {"--socket", folder.path() + "/nobody.sock"},
      {"--socket", "/" + std::string(110, 'x')},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(quorvel::joinPath("sonacap", args.empty() ? "" : args.back()));
    const pid_t pid = launch(args);
    ASSERT_GT(pid, 0);
    const quorvel::ExitStatus status = waitWithin(pid, 10s);
    EXPECT_FALSE(status.signaled);
    EXPECT_EQ(status.code, 2);
    EXPECT_EQ(standardError(), USAGE_LINE);
  }
  EXPECT_FALSE(server.accept(0ms));
}

// Without a session bus there is no portal to ask; --screen wins over --bundles.
TEST_F(ToolTest, ScreenModeWithoutAPortalSaysWhatIsMissing) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + folder.path() + "/no-bus").c_str(), 1);
  // The later --socket wins.
  const pid_t pid = launch({"--socket", folder.path() + "/other.sock", "--screen", "out.mp4",
                            "--bundles", "a", "--socket", socketPath});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(server.accept());
  EXPECT_EQ(nextEvent(),
            nlohmann::json::parse(R"({"event":"hello","pid":)" + std::to_string(pid) + "}"));
  const auto error = nextEvent();
  EXPECT_EQ(error["event"], "error");
  EXPECT_EQ(error["message"].get<std::string>().rfind("screen recording needs a session bus: ", 0),
            0u)
      << error;
  EXPECT_TRUE(server.endOfStream());
  const quorvel::ExitStatus status = waitWithin(pid, 10s);
  EXPECT_FALSE(status.signaled);
  EXPECT_EQ(status.code, 1);
  EXPECT_EQ(standardError(), "");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TEST_F(ToolTest, NoSoundServerFailsAtTheTap) {
  ::setenv("PULSE_SERVER", ("unix:" + folder.path() + "/no-pulse/native").c_str(), 1);
  const pid_t pid = launch({"--socket", socketPath});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(server.accept());
  EXPECT_EQ(nextEvent()["event"], "hello");
  EXPECT_EQ(nextEvent(),
            nlohmann::json::parse(
                R"({"event":"error","message":"pa_context_connect: Connection refused"})"));
  const quorvel::ExitStatus status = waitWithin(pid, 10s);
  EXPECT_FALSE(status.signaled);
  EXPECT_EQ(status.code, 1);
}

std::vector<float> toneBurst(double seconds, double frequency = 1000) {
  std::vector<float> tone(static_cast<std::size_t>(48000 * seconds));
  for (std::size_t i = 0; i < tone.size(); ++i) {
    tone[i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * i / 48000.0));
  }
  return tone;
}

struct Burst {
  std::size_t first = 0;
  std::size_t length = 0;
};

// Where the sound is loud, from the first loud sample to the last.
std::optional<Burst> loudPart(const std::vector<float>& samples) {
  std::optional<Burst> burst;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) < 0.25f) continue;
    if (!burst) burst = Burst{i, 0};
    burst->length = i - burst->first + 1;
  }
  return burst;
}

struct Setting {
  const char* kind;  // of sound server
  int rate;          // of its default sink
};

void PrintTo(const Setting& setting, std::ostream* out) {
  *out << setting.kind << " " << setting.rate;
}

class SoundToolTest : public ToolTest, public ::testing::WithParamInterface<Setting> {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    sound.emplace(GetParam().kind, GetParam().rate);
    ASSERT_TRUE(sound->started()) << sound->log();
  }

  // Launches the tool and reads "hello" and "started".
  void startCapture(const std::vector<std::string>& bundles = {}) {
    std::vector<std::string> arguments = {"--socket", socketPath};
    if (!bundles.empty())
      arguments.insert(arguments.end(), {"--bundles", quorvel::join(bundles, ",")});
    pid = launch(arguments);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(server.accept());
    EXPECT_EQ(nextEvent(),
              nlohmann::json::parse(R"({"event":"hello","pid":)" + std::to_string(pid) + "}"));
    nlohmann::json expected = started(GetParam().rate);
    if (!bundles.empty()) expected["only"] = bundles;
    ASSERT_EQ(nextEvent(), expected) << standardError();
  }

  static nlohmann::json started(int rate, const char* event = "started") {
    return {{"event", event},
            {"rate", double(rate)},
            {"channels", 1},
            {"streams", 1},
            {"only", nlohmann::json::array()}};
  }

  // Reads the stream for seconds, failing the test on any event; the sound that came.
  std::vector<float> listen(std::chrono::milliseconds length) {
    std::vector<float> audio;
    const auto deadline = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < deadline)
      EXPECT_EQ(nextEvent(100ms, &audio), nullptr);
    return audio;
  }

  // Plays a one-second tone on sink and reads the stream until the tone has passed; the tone
  // as it arrived. Fails the test on any event on the way.
  std::vector<float> captureTone(const std::string& sink) {
    const pid_t player = sound->play(toneBurst(1.0), sink);
    EXPECT_GT(player, 0);
    std::vector<float> audio;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::optional<Burst> burst;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::size_t before = audio.size();
      const auto event = nextEvent(200ms, &audio);
      EXPECT_EQ(event, nullptr);
      if (audio.size() == before) continue;
      burst = loudPart(audio);
      // A quarter second of quiet after the tone: it is over.
      if (burst && audio.size() > burst->first + burst->length + 12000) break;
    }
    EXPECT_TRUE(waitWithin(player, 10s).success());
    if (!burst) return {};
    return {audio.begin() + static_cast<std::ptrdiff_t>(burst->first),
            audio.begin() + static_cast<std::ptrdiff_t>(burst->first + burst->length)};
  }

  void expectTone(const std::vector<float>& tone) {
    // One second of sound is 48000 samples; the sound server itself cuts a few milliseconds
    // off the edges of a played stream.
    EXPECT_NEAR(static_cast<double>(tone.size()), 48000.0, 480.0);
    ASSERT_GT(tone.size(), 36000u);
    const std::vector<float> middle(tone.begin() + 12000, tone.begin() + 36000);
    EXPECT_NEAR(peakFrequency(middle, 48000, 500, 2000, 2), 1000, 4);
  }

  void expectExit(int code) {
    const quorvel::ExitStatus status = waitWithin(pid, 10s);
    EXPECT_FALSE(status.signaled);
    EXPECT_EQ(status.code, code);
  }

  std::optional<SoundServer> sound;
  pid_t pid = -1;
};

std::string settingName(const ::testing::TestParamInfo<Setting>& info) {
  return std::string(info.param.kind) + "_" + std::to_string(info.param.rate);
}

using Streams = SoundToolTest;

TEST_P(Streams, WhatTheSinkPlaysAsMono48000) {
  startCapture();
  expectTone(captureTone("cap0"));
  server.sendBytes("xS");
  EXPECT_EQ(nextEvent(10s), nullptr);
  EXPECT_TRUE(server.endOfStream());
  expectExit(0);
  EXPECT_EQ(standardError(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, Streams,
                         ::testing::Values(Setting{"pulseaudio", 48000},
                                           Setting{"pulseaudio", 44100},
                                           Setting{"pipewire", 48000}),
                         settingName);

using Follows = SoundToolTest;

TEST_P(Follows, ANewDefaultSinkWithOneRestart) {
  startCapture();
  ASSERT_TRUE(sound->pactl({"load-module", "module-null-sink", "sink_name=cap1", "format=float32le",
                            "rate=48000", "channels=2"}));
  ASSERT_TRUE(sound->pactl({"set-default-sink", "cap1"}));
  auto restarted = nextEvent(10s);
  ASSERT_TRUE(restarted.is_object());
  EXPECT_LT(restarted["gap"].get<double>(), 1.0);
  restarted.erase("gap");
  EXPECT_EQ(restarted, started(48000, "restarted"));
  expectTone(captureTone("cap1"));
  server.close();
  expectExit(0);
}

// The sound service killed one second into a capture and started again a second later: one
// "restarted" that tells the gap, sound again, and as many frames as time has passed.
TEST_P(Follows, ASoundServiceThatComesBack) {
  startCapture();
  const auto firstAudio = server.next(10s);
  ASSERT_TRUE(firstAudio);
  const auto began = std::chrono::steady_clock::now();
  framesReceived = firstAudio->payload.size() / 4;
  EXPECT_EQ(nextEvent(1s), nullptr);
  sound->crash();
  EXPECT_EQ(nextEvent(1s), nullptr);
  ASSERT_TRUE(sound->revive());
  auto restarted = nextEvent(10s);
  ASSERT_TRUE(restarted.is_object()) << standardError();
  const double gap = restarted["gap"].get<double>();
  EXPECT_GT(gap, 0.8);
  EXPECT_LT(gap, 5.0);
  restarted.erase("gap");
  EXPECT_EQ(restarted, started(48000, "restarted"));
  expectTone(captureTone("cap0"));
  EXPECT_EQ(nextEvent(500ms), nullptr);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
  EXPECT_NEAR(static_cast<double>(framesReceived), elapsed.count() * 48000, 4800);
  server.close();
  expectExit(0);
}

TEST_P(Follows, NotASoundServiceThatStaysAway) {
  startCapture();
  EXPECT_EQ(nextEvent(500ms), nullptr);
  sound->crash();
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(nextEvent(20s),
            nlohmann::json::parse(
                R"({"event":"error","message":"pa_context_connect: Connection refused"})"));
  EXPECT_GE(std::chrono::steady_clock::now() - began, 10s);
  expectExit(1);
}

// Two programs play at once; the capture asked for one of them, by its executable's name,
// carries its tone only, and goes on as its streams come and go.
TEST_P(Follows, OnlyTheNamedApplicationsStreams) {
  startCapture({"tone-left", "not-running"});
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const pid_t left = sound->play(toneBurst(2.0, 1000), "cap0", "tone-left");
    const pid_t right = sound->play(toneBurst(2.0, 600), "cap0", "tone-right");
    ASSERT_GT(left, 0);
    ASSERT_GT(right, 0);
    const std::vector<float> audio = listen(3500ms);
    EXPECT_TRUE(waitWithin(left, 10s).success());
    EXPECT_TRUE(waitWithin(right, 10s).success());
    const std::optional<Burst> burst = loudPart(audio);
    ASSERT_TRUE(burst) << "the named program's tone never came";
    EXPECT_GT(burst->length, 48000u * 3 / 2);
    const std::vector<float> middle(
        audio.begin() + static_cast<std::ptrdiff_t>(burst->first + 12000),
        audio.begin() + static_cast<std::ptrdiff_t>(burst->first + burst->length - 12000));
    // PulseAudio mixes the mono tone down to 0.5 again, PipeWire to 0.71; a hole that the
    // sound server plays under a starved machine lowers it a little.
    EXPECT_GT(amplitudeAt(middle, 1000), 0.25);
    EXPECT_LT(amplitudeAt(middle, 600), 0.02);
  }
  server.close();
  expectExit(0);
}

// The user mutes the speakers during a recording: the recording still holds what plays.
TEST_P(Follows, AMutedOutputIsStillRecorded) {
  startCapture();
  const pid_t player = sound->play(toneBurst(4.0), "cap0");
  ASSERT_GT(player, 0);
  listen(1000ms);
  ASSERT_TRUE(sound->pactl({"set-sink-mute", "cap0", "1"}));
  const std::vector<float> muted = listen(2000ms);
  EXPECT_TRUE(waitWithin(player, 10s).success());
  ASSERT_GT(muted.size(), 72000u);
  const std::vector<float> late(muted.begin() + 24000, muted.begin() + 72000);
  EXPECT_GT(amplitudeAt(late, 1000), 0.3);
  server.close();
  expectExit(0);
}

INSTANTIATE_TEST_SUITE_P(Servers, Follows,
                         ::testing::Values(Setting{"pulseaudio", 48000},
                                           Setting{"pipewire", 48000}),
                         settingName);

}  // namespace
}  // namespace sonacap
