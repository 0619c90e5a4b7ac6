#include "server/screen_capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <future>
#include <mutex>
#include <random>

#include "common/files.h"
#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

TEST(CaptureSize, PixelsScaledDownToFitWithEvenSides) {
  struct Case {
    ScreenContent content;
    CaptureSize size;
  };
  const std::vector<Case> cases = {
      {{1512, 982, 2}, {1846, 1200}}, {{2560, 1440, 1}, {1920, 1080}},
      {{1280, 800, 2}, {1920, 1200}}, {{800, 600, 2}, {1600, 1200}},
      {{801, 601, 1}, {800, 600}},    {{10, 900, 1}, {1920, 1080}},
      {{1920, 17, 1}, {1920, 16}},    {{3000, 16, 1}, {1920, 10}},
      {{NAN, 600, 1}, {1920, 1080}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(
        std::vector<double>{c.content.width, c.content.height, c.content.scale}));
    EXPECT_EQ(captureSize(c.content), c.size);
  }
}

// A link to a test server, for what the screen recorder sends.
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.connect(path));
    ASSERT_TRUE(server.accept());
  }

  // The sizes of the audio messages that came, in order, until nothing comes for a moment.
  std::vector<std::size_t> audioSizes(std::vector<float>* samples = nullptr) {
    std::vector<std::size_t> sizes;
    while (const auto message = server.next(200ms)) {
      EXPECT_EQ(message->type, AUDIO_MESSAGE);
      const auto more = samplesOf(message->payload);
      sizes.push_back(more.size());
      if (samples) samples->insert(samples->end(), more.begin(), more.end());
    }
    return sizes;
  }

  TempFolder folder;
  std::string path = folder.path() + "/screen.sock";
  TestServer server{path};
  Link link;
};

// Sound as the stream hands it over, with its samples kept alive beside it.
struct Sound {
  std::vector<std::vector<float>> planes;
  SoundBuffer buffer;

  Sound(double time, std::vector<std::vector<float>> channels, bool interleaved,
        double rate = 48000)
      : planes(std::move(channels)) {
    buffer.time = time;
    buffer.rate = rate;
    buffer.interleaved = interleaved;
    buffer.samples = interleaved ? planes[0].size() : planes[0].size();
    for (const auto& plane : planes) {
      buffer.planes.push_back({interleaved ? 2u : 1u, std::as_bytes(std::span(plane))});
    }
  }
};

Sound stereo(double time, std::size_t frames = 480, float left = 0.5f, float right = 0.25f) {
  return Sound(time, {std::vector<float>(frames, left), std::vector<float>(frames, right)}, false);
}

VideoFrame frameAt(double time) {
  VideoFrame frame;
  frame.time = time;
  return frame;
}

using ScreenSoundTest = LinkTest;

TEST_F(ScreenSoundTest, MixesEitherLayoutToMono) {
  ScreenSound sound(link);
  sound.sound(stereo(1.0).buffer);
  std::vector<float> samples;
  EXPECT_EQ(audioSizes(&samples), std::vector<std::size_t>{480});
  EXPECT_EQ(samples, std::vector<float>(480, 0.375f));
  EXPECT_EQ(sound.sentFrames(), 480);

  Sound interleaved(1.01, {{1.0f, 0.0f, 0.5f, -0.5f, 0.25f, 0.75f}}, true);
  interleaved.buffer.samples = 3;
  sound.sound(interleaved.buffer);
  samples.clear();
  EXPECT_EQ(audioSizes(&samples), std::vector<std::size_t>{3});
  EXPECT_EQ(samples, (std::vector<float>{0.5f, 0.0f, 0.5f}));
}

TEST_F(ScreenSoundTest, DropsWhatIsNotWholeFloatPcm) {
  ScreenSound sound(link);
  struct Case {
    const char* name;
    std::function<void(SoundBuffer&)> spoil;
  };
  const std::vector<Case> cases = {
      {"16-bit samples", [](SoundBuffer& b) { b.bits = 16; }},
      {"integer samples", [](SoundBuffer& b) { b.floating = false; }},
      {"not linear PCM", [](SoundBuffer& b) { b.linearPcm = false; }},
      {"no description", [](SoundBuffer& b) { b.described = false; }},
      {"invalid", [](SoundBuffer& b) { b.valid = false; }},
      {"no samples", [](SoundBuffer& b) { b.samples = 0; }},
      {"no rate", [](SoundBuffer& b) { b.rate = 0; }},
      {"no planes", [](SoundBuffer& b) { b.planes.clear(); }},
      {"empty first plane", [](SoundBuffer& b) { b.planes[0].data = {}; }},
      {"less than a frame",
       [](SoundBuffer& b) {
         b.interleaved = true;
         b.planes[0].channels = 2;
         b.planes[0].data = b.planes[0].data.first(4);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sound s = stereo(1.0);
    c.spoil(s.buffer);
    sound.sound(s.buffer);
    EXPECT_EQ(audioSizes(), std::vector<std::size_t>{});
  }
  EXPECT_EQ(sound.sentFrames(), 0);
}

TEST_F(ScreenSoundTest, OneTimelineFromTheFirstVideoFrame) {
  struct Step {
    std::optional<double> video;  // a frame at this time, or a sound buffer at sound
    double sound = 0;
    std::size_t frames = 480;
    std::vector<std::size_t> sent;  // the audio messages that follow
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"sound 0.25 s after the first frame",
       {{1.0, 0, 0, {}}, {std::nullopt, 1.25, 480, {12000, 480}}}},
      {"sound before any frame", {{std::nullopt, 1.0, 480, {480}}, {2.0, 0, 0, {}}}},
      {"only the first frame counts",
       {{1.0, 0, 0, {}}, {5.0, 0, 0, {}}, {std::nullopt, 1.0, 480, {480}}}},
      {"back to back, then a gap",
       {{std::nullopt, 1.00, 480, {480}},
        {std::nullopt, 1.01, 480, {480}},
        {std::nullopt, 1.10, 480, {3840, 480}}}},
      {"a long gap in chunks of a second",
       {{std::nullopt, 1.0, 480, {480}}, {std::nullopt, 3.51, 480, {48000, 48000, 24000, 480}}}},
      {"a gap of exactly 0.05 s", {{0.0, 0, 0, {}}, {std::nullopt, 0.05, 480, {480}}}},
      {"an hour is no gap", {{0.0, 0, 0, {}}, {std::nullopt, 3600.0, 480, {480}}}},
      {"earlier than the last end",
       {{std::nullopt, 1.0, 480, {480}}, {std::nullopt, 0.5, 480, {480}}}},
      {"no time: sent, the timeline stays",
       {{std::nullopt, 1.0, 480, {480}},
        {std::nullopt, NAN, 480, {480}},
        {std::nullopt, 1.01, 480, {480}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScreenSound sound(link);
    std::int64_t total = 0;
    for (const auto& step : c.steps) {
      // Sent from another thread: a long gap's silence is more than the socket holds.
      auto sending = std::async(std::launch::async, [&] {
        if (step.video) {
          sound.video(frameAt(*step.video));
        } else {
          sound.sound(stereo(step.sound, step.frames).buffer);
        }
      });
      const auto sizes = audioSizes();
      sending.get();
      EXPECT_EQ(sizes, step.sent);
      for (auto size : sizes) total += static_cast<std::int64_t>(size);
    }
    EXPECT_EQ(sound.sentFrames(), total);
  }
}

TEST_F(ScreenSoundTest, OtherRatesAreConvertedWithOneConverterPerRate) {
  ScreenSound sound(link);
  const auto tone = [](double rate, std::size_t frames, std::size_t first) {
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i) {
      samples[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000 * (first + i) / rate));
    }
    return samples;
  };
  std::vector<float> out;
  // A second at 44100 in tenths: the converter's history carries from buffer to buffer.
  for (int i = 0; i < 10; ++i) {
    const auto samples = tone(44100, 4410, i * 4410);
    Sound s(i * 0.1, {samples, samples}, false, 44100);
    sound.sound(s.buffer);
  }
  audioSizes(&out);
  // Never flushed: the converter keeps back its delay, a few hundred samples.
  EXPECT_LE(out.size(), 48000u);
  ASSERT_GT(out.size(), 47000u);
  EXPECT_NEAR(peakFrequency({out.begin() + 4800, out.begin() + 40000}, 48000, 500, 2000, 2), 1000,
              4);
  // At OUT_RATE it goes straight through.
  sound.sound(stereo(1.0, 480).buffer);
  EXPECT_EQ(audioSizes(), std::vector<std::size_t>{480});
}

// A sound card whose clock runs fast or slow against the system's, delivering 10 ms buffers
// that arrive late by up to 30 ms: after 30 minutes the stamps are still within 40 ms of the
// time the sound was played, and no stamp jumps by a gap.
TEST(SoundClock, HeldToTheClockOverHalfAnHour) {
  for (const double trueRate : {48000.0 * 1.0003, 48000.0, 48000.0 * 0.9997}) {
    SCOPED_TRACE(trueRate);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> delay(0.0, 0.03);
    SoundClock clock;
    const std::size_t frames = 480;
    double worst = 0;
    double lastStamp = -1;
    for (std::size_t i = 0; i < 30 * 60 * 100; ++i) {
      const double played = 100.0 + static_cast<double>(i * frames) / trueRate;
      const double done = played + frames / trueRate;
      const double stamp = clock.stamp(done + delay(random), frames, 48000);
      worst = std::max(worst, std::abs(stamp - played));
      if (lastStamp >= 0) {
        EXPECT_LT(stamp - lastStamp - 0.01, 0.05);
      }
      lastStamp = stamp;
    }
    EXPECT_LT(worst, 0.040);
  }
}

TEST(SoundClock, LostFramesAndStallsBecomeGaps) {
  SoundClock clock;
  EXPECT_DOUBLE_EQ(clock.stamp(10.01, 480, 48000), 10.0);
  EXPECT_DOUBLE_EQ(clock.stamp(10.02, 480, 48000), 10.01);
  // The sound system says it lost 4800 frames before this buffer.
  EXPECT_DOUBLE_EQ(clock.stamp(10.13, 480, 48000, 4800), 10.12);
  // Nothing for two seconds: the next buffer is placed where it arrived.
  EXPECT_NEAR(clock.stamp(12.14, 480, 48000), 12.13, 1e-9);
}

// The picker and stream as a script the test plays.
class ScriptedSource : public ScreenSource {
 public:
  std::optional<std::string> missing() override { return std::nullopt; }
  void pick(PickerEvents events) override {
    picker = std::move(events);
    calls.push_back("pick");
  }
  std::optional<ScreenError> open(const ScreenContent&, const StreamSettings& settings, TaskQueue&,
                                  StreamEvents events) override {
    calls.push_back("open " + std::to_string(settings.size.width) + "x" +
                    std::to_string(settings.size.height));
    stream = std::move(events);
    return openFailure;
  }
  void start(std::function<void(std::optional<ScreenError>)> done) override {
    calls.push_back("start");
    done(startFailure);
  }
  void stop(std::function<void()> done) override {
    calls.push_back("stop");
    done();
  }

  PickerEvents picker;
  StreamEvents stream;
  std::optional<ScreenError> openFailure;
  std::optional<ScreenError> startFailure;
  std::vector<std::string> calls;
};

class ScriptedRecording : public RecordingOutput {
 public:
  explicit ScriptedRecording(Events events) : events_(std::move(events)) {}
  void video(const VideoFrame&) override {
    if (frames++ == 0) events_.started();
  }
  void sound(std::span<const float>, std::uint32_t, double, double) override {}
  void finish() override {
    finishes++;
    if (closes) events_.finished(closesWith);
  }
  Events events_;
  int frames = 0;
  int finishes = 0;
  bool closes = true;
  double closesWith = 2.5;
};

class ScreenCaptureTest : public LinkTest {
 protected:
  std::unique_ptr<ScreenCapture> makeCapture() {
    return std::make_unique<ScreenCapture>(
        link, output, source,
        [this](const std::string& path, CaptureSize, RecordingOutput::Events events)
            -> std::variant<std::unique_ptr<RecordingOutput>, ScreenError> {
          EXPECT_EQ(path, output);
          if (refuseRecording) return *refuseRecording;
          auto made = std::make_unique<ScriptedRecording>(std::move(events));
          made->closes = recordingCloses;
          recording = made.get();
          return made;
        },
        [this](int status) { exited.set_value(status); },
        [this](std::chrono::duration<double> delay, Task task) {
          std::lock_guard lock(mutex);
          timers.emplace_back(delay.count(), std::move(task));
        });
  }

  nlohmann::json nextEvent(std::chrono::milliseconds limit = 2s) {
    while (const auto message = server.next(limit)) {
      if (message->type == EVENT_MESSAGE) return nlohmann::json::parse(message->payload);
    }
    return nullptr;
  }
  std::optional<int> exitStatus(std::chrono::milliseconds limit = 2s) {
    if (status.wait_for(limit) != std::future_status::ready) return std::nullopt;
    return status.get();
  }
  // Delays of the timers armed so far.
  std::vector<double> timerDelays() {
    std::lock_guard lock(mutex);
    std::vector<double> delays;
    for (const auto& timer : timers) delays.push_back(timer.first);
    return delays;
  }
  // Starts a recording of HEADLESS-1's size, read up to "started".
  void startRecording(ScreenCapture& capture) {
    capture.pick();
    ASSERT_EQ(nextEvent(), nlohmann::json({{"event", "picking"}}));
    source.picker.chosen({1920, 1080, 1});
    ASSERT_EQ(nextEvent()["event"], "started");
  }

  std::string output = folder.path() + "/out.mp4";
  ScriptedSource source;
  ScriptedRecording* recording = nullptr;
  std::optional<ScreenError> refuseRecording;
  bool recordingCloses = true;
  std::promise<int> exited;
  std::future<int> status = exited.get_future();
  std::mutex mutex;
  std::vector<std::pair<double, Task>> timers;
};

TEST_F(ScreenCaptureTest, AnOutputThatCannotBeWrittenEndsBeforeThePicker) {
  output = folder.path() + "/missing/out.mp4";
  auto capture = makeCapture();
  capture->pick();
  EXPECT_EQ(nextEvent(),
            nlohmann::json::parse(R"({"event":"error","code":"nowrite",)"
                                  R"("message":"No such file or directory [errno 2]"})"));
  EXPECT_EQ(exitStatus(), 1);
  EXPECT_TRUE(source.calls.empty());
}

TEST_F(ScreenCaptureTest, PickingRemovesAnOldFileAndACancelEndsIt) {
  ASSERT_TRUE(quorvel::writeFile(output, "an old movie"));
  auto capture = makeCapture();
  capture->pick();
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "picking"}}));
  struct stat info {};
  EXPECT_NE(::stat(output.c_str(), &info), 0);
  source.picker.cancelled();
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "cancelled"}}));
  EXPECT_EQ(exitStatus(), 0);
}

TEST_F(ScreenCaptureTest, FinishWhilePickingEndsQuietly) {
  auto capture = makeCapture();
  capture->pick();
  EXPECT_EQ(nextEvent()["event"], "picking");
  capture->finish();
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_EQ(nextEvent(300ms), nullptr);
  EXPECT_EQ(timerDelays(), std::vector<double>{600.0});
}

TEST_F(ScreenCaptureTest, FailuresCarryTheirPlaceAndCode) {
  struct Case {
    const char* name;
    std::function<void(ScriptedSource&)> script;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"picker",
       [](ScriptedSource& s) {
         s.picker.failed({"Session closed", 2});
       },
       "picker: Session closed [2]"},
      {"stream outputs",
       [](ScriptedSource& s) {
         s.openFailure = ScreenError{"no video node", 5};
         s.picker.chosen({1920, 1080, 1});
       },
       "addStreamOutput: no video node [5]"},
      {"start",
       [](ScriptedSource& s) {
         s.startFailure = ScreenError{"pw_stream_connect: Broken pipe", 32};
         s.picker.chosen({1920, 1080, 1});
       },
       "startCapture: pw_stream_connect: Broken pipe [32]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    source = ScriptedSource();
    exited = std::promise<int>();
    status = exited.get_future();
    auto capture = makeCapture();
    capture->pick();
    EXPECT_EQ(nextEvent()["event"], "picking");
    c.script(source);
    EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "error"}, {"message", c.message}}));
    EXPECT_EQ(exitStatus(), 1);
  }
}

TEST_F(ScreenCaptureTest, ADeclinedUserIsToldAndTheExitWaits) {
  auto capture = makeCapture();
  capture->pick();
  EXPECT_EQ(nextEvent()["event"], "picking");
  source.picker.failed({"Screen casting is not allowed", 3, true});
  EXPECT_EQ(nextEvent(),
            nlohmann::json::parse(R"({"event":"error","code":"denied",)"
                                  R"("message":"picker: Screen casting is not allowed [3]"})"));
  EXPECT_EQ(exitStatus(200ms), std::nullopt);
  ASSERT_EQ(timerDelays(), std::vector<double>{1.5});
  timers[0].second();
  EXPECT_EQ(exitStatus(), 1);
}

TEST_F(ScreenCaptureTest, ARecordingEndsWithRecordedOnceForTwoFinishes) {
  auto capture = makeCapture();
  capture->pick();
  EXPECT_EQ(nextEvent()["event"], "picking");
  source.picker.chosen({1512, 982, 2});
  EXPECT_EQ(nextEvent(), nlohmann::json::parse(R"({"event":"started","screen":true,"width":1846,)"
                                               R"("height":1200,"rate":48000.0,"channels":2})"));
  source.picker.cancelled();  // too late to count
  source.stream.video(frameAt(1.0));
  EXPECT_EQ(nextEvent(), nlohmann::json({{"event", "recording"}}));
  source.stream.sound(stereo(1.25).buffer);
  capture->finish();
  capture->finish();
  EXPECT_EQ(nextEvent(), nlohmann::json::parse(R"({"event":"recorded","path":")" + output +
                                               R"(","seconds":2.5,"sent":0.26})"));
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_EQ(recording->finishes, 1);
  EXPECT_EQ(source.calls, (std::vector<std::string>{"pick", "open 1846x1200", "start", "stop"}));
  EXPECT_EQ(timerDelays(), std::vector<double>{600.0});
}

TEST_F(ScreenCaptureTest, ARefusedRecordingStillStreamsSound) {
  refuseRecording = ScreenError{"libx264 is missing", 1};
  auto capture = makeCapture();
  capture->pick();
  EXPECT_EQ(nextEvent()["event"], "picking");
  source.picker.chosen({1920, 1080, 1});
  EXPECT_EQ(nextEvent(),
            nlohmann::json({{"event", "recordfailed"}, {"message", "libx264 is missing"}}));
  EXPECT_EQ(nextEvent()["event"], "started");
  source.stream.sound(stereo(1.0).buffer);
  const auto audio = server.next(1s);
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->type, AUDIO_MESSAGE);
  capture->finish();
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_EQ(nextEvent(300ms), nullptr);
}

TEST_F(ScreenCaptureTest, AStoppedStreamClosesTheFileOrWaitsForTheWrapUp) {
  recordingCloses = false;
  auto capture = makeCapture();
  startRecording(*capture);
  source.stream.video(frameAt(1.0));
  EXPECT_EQ(nextEvent()["event"], "recording");
  source.stream.stopped({"The node went away", 4});
  EXPECT_EQ(nextEvent(),
            nlohmann::json({{"event", "stopped"}, {"message", "The node went away [4]"}}));
  EXPECT_EQ(exitStatus(200ms), std::nullopt);
  ASSERT_EQ(timerDelays(), std::vector<double>{600.0});
  EXPECT_EQ(recording->finishes, 1);
  timers[0].second();
  EXPECT_EQ(exitStatus(), 0);
}

}  // namespace
}  // namespace sonacap
