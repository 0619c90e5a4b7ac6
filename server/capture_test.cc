#include "server/capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <future>
#include <mutex>
#include <numbers>
#include <thread>

#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

TEST(MixDown, AveragesEachWholeFrame) {
  struct Case {
    const char* name;
    std::vector<float> frames;
    std::uint32_t channels;
    std::optional<std::vector<float>> mono;
  };
  const std::vector<Case> cases = {
      {"stereo", {1, 3, -1, 0.5f, 0.25f, 0.25f}, 2, std::vector<float>{2, -0.25f, 0.25f}},
      {"a partial last frame is dropped", {1, 1, 2, 2, 3}, 2, std::vector<float>{1, 2}},
      {"mono passes through", {0.5f, -0.5f}, 1, std::vector<float>{0.5f, -0.5f}},
      {"less than one frame", {1}, 2, std::nullopt},
      {"no channels", {1, 2}, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(mixDown(c.frames, c.channels), c.mono);
  }
}

TEST(ConvertedCapacity, RoomForOneCall) {
  EXPECT_EQ(convertedCapacity(44100, 441), 544u);
  EXPECT_EQ(convertedCapacity(96000, 1024), 576u);
  EXPECT_EQ(convertedCapacity(0, 441), std::nullopt);
  EXPECT_EQ(convertedCapacity(std::nan(""), 441), std::nullopt);
  EXPECT_EQ(convertedCapacity(1e-9, 441), std::nullopt);
}

// The sound system as a script: opens with the format it is given or fails as it is told,
// records what is asked, and delivers or reports changes when the test says so.
class ScriptedTap : public AudioTap {
 public:
  TapFormat format{.rate = 48000, .channels = 2, .streams = 1};
  std::function<void()> duringOpen;

  // The next opens fail with these messages, one each.
  void failOpens(std::vector<std::string> messages) {
    std::lock_guard lock(mutex_);
    openFailures_.insert(openFailures_.end(), messages.begin(), messages.end());
  }
  void failStart(std::string message) {
    std::lock_guard lock(mutex_);
    startFailure_ = std::move(message);
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void deliver(std::vector<float> samples, std::uint64_t lost = 0) {
    TaskQueue* queue = nullptr;
    {
      std::lock_guard lock(mutex_);
      queue = queue_;
    }
    ASSERT_NE(queue, nullptr);
    queue->async([this, samples = std::move(samples), lost] {
      onSound_(Delivery{.samples = samples, .lostFrames = lost});
    });
  }
  void change(TapChange change) { onChange_(change); }

  std::variant<TapFormat, TapError> open() override {
    if (duringOpen) duringOpen();
    std::lock_guard lock(mutex_);
    calls_.push_back("open");
    if (!openFailures_.empty()) {
      const std::string message = openFailures_.front();
      openFailures_.pop_front();
      return TapError{message};
    }
    return format;
  }
  std::optional<TapError> start(TaskQueue& queue, std::function<void(Delivery)> onSound) override {
    std::lock_guard lock(mutex_);
    calls_.push_back("start");
    queue_ = &queue;
    onSound_ = std::move(onSound);
    if (startFailure_) return TapError{*startFailure_};
    return std::nullopt;
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    calls_.push_back("stop");
  }
  void watch(std::function<void(TapChange)> onChange) override { onChange_ = std::move(onChange); }

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::deque<std::string> openFailures_;
  std::optional<std::string> startFailure_;
  TaskQueue* queue_ = nullptr;
  std::function<void(Delivery)> onSound_;
  std::function<void(TapChange)> onChange_;
};

// A clock the test moves.
struct TestClock {
  std::mutex mutex;
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + 100s;
  void advance(std::chrono::steady_clock::duration by) {
    std::lock_guard lock(mutex);
    now += by;
  }
  Clock clock() {
    return [this] {
      std::lock_guard lock(mutex);
      return now;
    };
  }
};

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.connect(path));
    ASSERT_TRUE(server.accept());
  }

  std::unique_ptr<Capture> makeCapture(std::vector<std::string> bundles = {}) {
    auto capture =
        std::make_unique<Capture>(link, std::move(bundles), tap, exit, timing, clock.clock());
    tap.watch([c = capture.get()](TapChange change) { c->restart(change); });
    return capture;
  }

  nlohmann::json nextEvent(std::chrono::milliseconds limit = 10s) {
    const auto message = server.next(limit);
    if (!message) return nullptr;
    EXPECT_EQ(message->type, EVENT_MESSAGE);
    return nlohmann::json::parse(message->payload);
  }

  // Reads audio messages until an event comes or nothing comes for a while; the samples.
  std::vector<float> audioUntilEvent(nlohmann::json* event = nullptr,
                                     std::chrono::milliseconds quiet = 300ms) {
    std::vector<float> samples;
    while (const auto message = server.next(quiet)) {
      if (message->type == EVENT_MESSAGE) {
        if (event) *event = nlohmann::json::parse(message->payload);
        break;
      }
      const auto more = samplesOf(message->payload);
      samples.insert(samples.end(), more.begin(), more.end());
    }
    return samples;
  }

  // Holds the capture's queue until the returned promise is kept.
  std::promise<void> holdQueue(Capture& capture) {
    std::promise<void> release;
    auto held = std::make_shared<std::shared_future<void>>(release.get_future().share());
    std::promise<void> holding;
    auto isHolding = holding.get_future();
    capture.queue().async([held, &holding] {
      holding.set_value();
      held->wait();
    });
    isHolding.wait();
    return release;
  }

  TempFolder folder;
  std::string path = folder.path() + "/capture.sock";
  TestServer server{path};
  Link link;
  ScriptedTap tap;
  TestClock clock;
  // The clock is held only where a test asks for it.
  CaptureTiming timing{
      .rebuildDelay = 400ms, .retryPause = 20ms, .retryLimit = 10s, .clockCheck = 0ms};
  std::promise<int> exited;
  Capture::Exit exit = [this](int status) { exited.set_value(status); };
};

TEST_F(CaptureTest, FailuresToStartCarryTheCallAndReason) {
  auto capture = makeCapture();
  tap.failOpens({"pa_context_connect: Connection refused"});
  EXPECT_EQ(capture->start()->message, "pa_context_connect: Connection refused");
  tap.failStart("pa_stream_cork: Bad state");
  EXPECT_EQ(capture->start()->message, "pa_stream_cork: Bad state");
  EXPECT_EQ(tap.calls(), (std::vector<std::string>{"open", "open", "start"}));
}

TEST_F(CaptureTest, InfoDescribesTheTapAndTheAskedApplications) {
  auto capture = makeCapture({"com.a", " b"});
  ASSERT_EQ(capture->start(), std::nullopt);
  EXPECT_EQ(
      capture->info(),
      nlohmann::json::parse(R"({"rate":48000.0,"channels":2,"streams":1,"only":["com.a"," b"]})"));
}

TEST_F(CaptureTest, StereoAt48000IsSentAsMono) {
  auto capture = makeCapture();
  ASSERT_EQ(capture->start(), std::nullopt);
  std::vector<float> stereo(1024);
  for (std::size_t i = 0; i < stereo.size(); ++i) stereo[i] = i % 2 == 0 ? 0.5f : -0.25f;
  tap.deliver(stereo);
  tap.deliver({0.5f});  // less than a frame: nothing
  tap.deliver(stereo);
  for (int m = 0; m < 2; ++m) {
    const auto message = server.next();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->type, AUDIO_MESSAGE);
    EXPECT_EQ(samplesOf(message->payload), std::vector<float>(512, 0.125f));
  }
  EXPECT_FALSE(server.next(100ms));
}

TEST_F(CaptureTest, A44100TapIsConvertedTo48000WithHistoryAcrossCalls) {
  tap.format = {.rate = 44100, .channels = 1, .streams = 1};
  auto capture = makeCapture();
  ASSERT_EQ(capture->start(), std::nullopt);

  // One second of a 1 kHz tone in deliveries of 441 frames, fed from another thread: the
  // socket holds less than a second of sound.
  std::vector<float> tone(44100);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    tone[i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * i / 44100.0));
  }
  std::thread feeder([&] {
    for (std::size_t at = 0; at < tone.size(); at += 441) {
      tap.deliver(std::vector<float>(tone.begin() + at, tone.begin() + at + 441));
    }
  });
  std::vector<float> out;
  while (const auto message = server.next(300ms)) {
    ASSERT_EQ(message->type, AUDIO_MESSAGE);
    ASSERT_LE(message->payload.size(), 544u * 4);
    const auto samples = samplesOf(message->payload);
    out.insert(out.end(), samples.begin(), samples.end());
  }
  feeder.join();
  // All but the converter's own delay of a few milliseconds comes out.
  EXPECT_LE(out.size(), 48000u);
  EXPECT_GE(out.size(), 48000u - 960u);
  EXPECT_NEAR(peakFrequency(std::vector<float>(out.end() - 24000, out.end()), 48000, 900, 1100, 2),
              1000, 4);
  // A continuous tone: no seams between calls.
  float largestStep = 0;
  for (std::size_t i = out.size() - 24000; i + 1 < out.size(); ++i) {
    largestStep = std::max(largestStep, std::abs(out[i + 1] - out[i]));
  }
  EXPECT_LT(largestStep, 0.5f * 2 * std::numbers::pi * 1000 / 48000 * 1.05);
}

TEST_F(CaptureTest, SoundTheSystemLostIsSentAsSilenceOfItsLength) {
  struct Case {
    const char* name;
    double rate;
    std::uint64_t lost;
    std::size_t silence;  // at 48000 Hz
  };
  const std::vector<Case> cases = {
      {"at the output rate", 48000, 480, 480},
      {"converted", 44100, 441, 480},
      {"more than one message holds", 48000, 100000, 100000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tap.format = {.rate = c.rate, .channels = 1, .streams = 1};
    auto capture = makeCapture();
    ASSERT_EQ(capture->start(), std::nullopt);
    tap.deliver(std::vector<float>(4410, 0.5f), c.lost);
    const auto samples = audioUntilEvent();
    const auto loud =
        std::count_if(samples.begin(), samples.end(), [](float s) { return std::abs(s) > 0.01f; });
    ASSERT_GE(samples.size(), c.silence);
    EXPECT_EQ(
        std::count(samples.end() - static_cast<std::ptrdiff_t>(c.silence), samples.end(), 0.0f),
        static_cast<std::ptrdiff_t>(c.silence));
    EXPECT_GT(loud, 4000);
    // The loud part and the silence add up to what the delivery stood for, but for the
    // converter's delay of a few milliseconds.
    EXPECT_NEAR(static_cast<double>(samples.size()), 4410 * 48000 / c.rate + c.silence, 480);
  }
}

TEST_F(CaptureTest, ABurstOfChangesLeadsToOneRebuildThatFillsTheGapFromTheClock) {
  auto capture = makeCapture({"x"});
  ASSERT_EQ(capture->start(), std::nullopt);
  tap.deliver(std::vector<float>(9600, 0.5f));  // 0.1 s of stereo, just played
  EXPECT_EQ(audioUntilEvent().size(), 4800u);
  clock.advance(2s);
  const auto began = std::chrono::steady_clock::now();
  {
    auto release = holdQueue(*capture);
    tap.change(TapChange::output);
    tap.change(TapChange::format);
    tap.change(TapChange::lost);
    release.set_value();
  }
  nlohmann::json event;
  const auto silence = audioUntilEvent(&event, 5s);
  EXPECT_GE(std::chrono::steady_clock::now() - began, timing.rebuildDelay);
  // 2.1 s have passed since the first frame, of which 0.1 s were sent.
  EXPECT_EQ(silence, std::vector<float>(96000, 0.0f));
  EXPECT_EQ(event, nlohmann::json::parse(R"({"event":"restarted","rate":48000.0,"channels":2,)"
                                         R"("streams":1,"only":["x"],"gap":2.0})"));
  EXPECT_EQ(nextEvent(timing.rebuildDelay + 300ms), nullptr);
  EXPECT_EQ(tap.calls(), (std::vector<std::string>{"open", "start", "stop", "open", "start"}));
}

TEST_F(CaptureTest, ALateStreamIsLeftAloneALostOneIsHeldToTheClock) {
  timing.clockCheck = 10ms;
  auto capture = makeCapture();
  ASSERT_EQ(capture->start(), std::nullopt);
  tap.deliver(std::vector<float>(9600, 0.5f));  // 0.1 s of stereo, just played
  EXPECT_EQ(audioUntilEvent().size(), 4800u);
  clock.advance(950ms);  // a busy machine: the sound is late, not lost
  EXPECT_FALSE(server.next(200ms));
  tap.deliver(std::vector<float>(91200, 0.5f));
  EXPECT_EQ(audioUntilEvent(), std::vector<float>(45600, 0.5f));
  // The sound service goes away: the clock runs on in silence before the rebuild, and that
  // silence counts in the rebuild's gap.
  tap.change(TapChange::lost);
  clock.advance(1s);
  const auto padded = server.next(timing.rebuildDelay / 2);
  ASSERT_TRUE(padded);
  EXPECT_EQ(samplesOf(padded->payload), std::vector<float>(48000, 0.0f));
  const auto event = nextEvent();
  EXPECT_EQ(event["event"], "restarted");
  EXPECT_EQ(event["gap"], 1.0);
}

TEST_F(CaptureTest, ARebuildBeforeAnySoundHasNoGap) {
  auto capture = makeCapture();
  ASSERT_EQ(capture->start(), std::nullopt);
  tap.format.rate = 44100;
  tap.change(TapChange::format);
  const auto event = nextEvent();
  EXPECT_EQ(event["event"], "restarted");
  EXPECT_EQ(event["rate"], 44100.0);
  EXPECT_EQ(event["gap"], 0.0);
}

TEST_F(CaptureTest, AChangeDuringARebuildLeadsToAnother) {
  auto capture = makeCapture();
  ASSERT_EQ(capture->start(), std::nullopt);
  int opens = 0;
  tap.duringOpen = [&] {
    if (++opens == 1) capture->restart(TapChange::output);
  };
  capture->restart(TapChange::output);
  EXPECT_EQ(nextEvent()["event"], "restarted");
  EXPECT_EQ(nextEvent()["event"], "restarted");
  EXPECT_EQ(nextEvent(timing.rebuildDelay + 300ms), nullptr);
  EXPECT_EQ(opens, 2);
}

TEST_F(CaptureTest, ARebuildTriesAgainWhileTheSoundServiceIsAway) {
  auto capture = makeCapture();
  ASSERT_EQ(capture->start(), std::nullopt);
  tap.failOpens({"pa_context_connect: Connection refused", "pa_context_connect: Connection refused",
                 "pa_context_connect: Connection refused"});
  tap.change(TapChange::lost);
  tap.change(TapChange::lost);  // the stream fails too
  EXPECT_EQ(nextEvent()["event"], "restarted");
  EXPECT_EQ(nextEvent(timing.rebuildDelay + 300ms), nullptr);
  const auto calls = tap.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "open"), 5);
  EXPECT_EQ(exited.get_future().wait_for(0s), std::future_status::timeout);
}

TEST_F(CaptureTest, ASoundServiceThatStaysAwayEndsTheCaptureWithItsFailure) {
  auto capture = makeCapture();
  ASSERT_EQ(capture->start(), std::nullopt);
  tap.failOpens(std::vector<std::string>(100, "pa_context_connect: Connection refused"));
  int opens = 0;
  tap.duringOpen = [&] {
    ++opens;
    clock.advance(1s);  // each try takes a second of the test's clock
  };
  tap.change(TapChange::lost);
  EXPECT_EQ(nextEvent(),
            nlohmann::json::parse(
                R"({"event":"error","message":"pa_context_connect: Connection refused"})"));
  auto status = exited.get_future();
  ASSERT_EQ(status.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(status.get(), 1);
  EXPECT_EQ(opens, 10);
}

}  // namespace
}  // namespace sonacap
