#include "server/capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <map>
#include <mutex>
#include <numbers>
#include <thread>

#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

TEST(Describe, DecimalAndPrintableCode) {
  const std::pair<Status, const char*> cases[] = {
      {0, "0"},
      {-50, "-50"},
      {1852797029, "1852797029 'nope'"},
      {0x20202020, "538976288 '    '"},
      {0x1F6F7065, "527396965"},
      {0x7F6F7065, "2138009701"},
      {static_cast<Status>(0x806F7065), "-2140180379"},
      {6, "6"},
  };
  for (const auto& [status, text] : cases) {
    SCOPED_TRACE(status);
    EXPECT_EQ(describe(status), text);
  }
}

struct MixCase {
  const char* name;
  std::uint32_t flags;
  std::vector<std::vector<float>> buffers;  // empty vector with absent set: no sample pointer
  std::vector<bool> absent;
  std::uint32_t channels;  // of the first buffer
  std::optional<std::vector<float>> mono;
};

TEST(MixDown, Layouts) {
  const std::uint32_t interleaved = FORMAT_FLAG_IS_FLOAT | FORMAT_FLAG_IS_PACKED;
  const std::uint32_t planar = interleaved | FORMAT_FLAG_IS_NON_INTERLEAVED;
  const MixCase cases[] = {
      {"interleaved stereo averages each frame",
       interleaved,
       {{1, 3, -1, 0.5f, 0.25f, 0.25f}},
       {false},
       2,
       std::vector<float>{2, -0.25f, 0.25f}},
      {"interleaved: the partial last frame is dropped",
       interleaved,
       {{1, 1, 2, 2, 3}},
       {false},
       2,
       std::vector<float>{1, 2}},
      {"interleaved: later buffers are not used",
       interleaved,
       {{1, 1}, {9, 9}},
       {false, false},
       2,
       std::vector<float>{1}},
      {"interleaved mono passes through",
       interleaved,
       {{0.5f, -0.5f}},
       {false},
       1,
       std::vector<float>{0.5f, -0.5f}},
      {"planar: a shorter second channel adds to the first frames only",
       planar,
       {{1, 1, 1, 1}, {3, 3}},
       {false, false},
       1,
       std::vector<float>{2, 2, 0.5f, 0.5f}},
      {"planar: a channel without samples still counts",
       planar,
       {{1, -1}, {}},
       {false, true},
       1,
       std::vector<float>{0.5f, -0.5f}},
      {"planar: the first buffer alone sets the frame count",
       planar,
       {{1, 1}, {3, 3, 3}},
       {false, false},
       1,
       std::vector<float>{2, 2}},
      {"first buffer of 0 bytes", interleaved, {{}}, {false}, 2, std::nullopt},
      {"less than one frame", interleaved, {{1}}, {false}, 2, std::nullopt},
      {"first buffer without samples", planar, {{}, {1, 1}}, {true, false}, 1, std::nullopt},
      {"no channels", interleaved, {{1, 1}}, {false}, 0, std::nullopt},
      {"no buffers", interleaved, {}, {}, 2, std::nullopt},
  };
  for (const MixCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Buffer> list;
    for (std::size_t i = 0; i < c.buffers.size(); ++i) {
      list.push_back(Buffer{.channels = i == 0 ? c.channels : 1,
                            .byteSize = static_cast<std::uint32_t>(c.buffers[i].size() * 4),
                            .data = c.absent[i] ? nullptr : c.buffers[i].data()});
    }
    EXPECT_EQ(mixDown(c.flags, list), c.mono);
  }
}

TEST(ConvertedCapacity, RoomForOneCall) {
  EXPECT_EQ(convertedCapacity(44100, 441), 544u);
  EXPECT_EQ(convertedCapacity(96000, 1024), 576u);
  EXPECT_EQ(convertedCapacity(0, 441), std::nullopt);
  EXPECT_EQ(convertedCapacity(std::nan(""), 441), std::nullopt);
  EXPECT_EQ(convertedCapacity(1e-9, 441), std::nullopt);
}

// The audio system as a script: records what is asked, fails the steps it is told to.
class ScriptedTap : public AudioTap {
 public:
  StreamFormat format{.sampleRate = 48000,
                      .formatID = FORMAT_LINEAR_PCM,
                      .formatFlags = FORMAT_FLAG_IS_FLOAT | FORMAT_FLAG_IS_PACKED,
                      .channelsPerFrame = 2,
                      .bitsPerChannel = 32};
  bool bundleTaps = false;
  std::optional<std::uint32_t> streams = 1;
  std::function<void()> duringCreateTap;

  void fail(const std::string& step, Status status) {
    std::lock_guard lock(mutex_);
    failures_[step] = status;
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  TapDescription tapDescription() {
    std::lock_guard lock(mutex_);
    return tap_;
  }
  std::vector<DeviceDescription> devices() {
    std::lock_guard lock(mutex_);
    return devices_;
  }
  std::string attached() {
    std::lock_guard lock(mutex_);
    return attached_;
  }
  void changeFormat() { formatListener_(); }

  bool canTapBundles() const override { return bundleTaps; }
  Made createTap(const TapDescription& description) override {
    {
      std::lock_guard lock(mutex_);
      tap_ = description;
    }
    if (duringCreateTap) duringCreateTap();
    return made("createTap");
  }
  Status readFormat(ObjectId, StreamFormat& out) override {
    out = format;
    return made("readFormat").status;
  }
  Made createDevice(const DeviceDescription& description) override {
    std::lock_guard lock(mutex_);
    devices_.push_back(description);
    return madeLocked("createDevice");
  }
  Status attachTap(ObjectId, const std::string& uuid) override {
    std::lock_guard lock(mutex_);
    attached_ = uuid;
    return madeLocked("attachTap").status;
  }
  void awaitInput(ObjectId, std::chrono::milliseconds limit) override {
    EXPECT_EQ(limit, std::chrono::milliseconds(1000));
    made("awaitInput");
  }
  std::optional<std::uint32_t> inputStreams(ObjectId) override { return streams; }
  void listenFormat(ObjectId, std::function<void()> onChange) override {
    formatListener_ = std::move(onChange);
    made("listenFormat");
  }
  Made createInputProc(ObjectId, TaskQueue&, std::function<void(BufferList)>) override {
    return made("createInputProc");
  }
  Status startDevice(ObjectId, ObjectId) override { return made("startDevice").status; }
  Status stopDevice(ObjectId, ObjectId) override { return made("stopDevice").status; }
  Status destroyInputProc(ObjectId, ObjectId) override { return made("destroyInputProc").status; }
  Status destroyDevice(ObjectId) override { return made("destroyDevice").status; }
  Status destroyTap(ObjectId) override { return made("destroyTap").status; }
  void listenDefaultOutput(std::function<void()>) override { made("listenDefaultOutput"); }

 private:
  Made made(const std::string& step) {
    std::lock_guard lock(mutex_);
    return madeLocked(step);
  }
  // A failure given with status 0 stands for a call that succeeds but makes nothing.
  Made madeLocked(const std::string& step) {
    calls_.push_back(step);
    if (const auto failure = failures_.find(step); failure != failures_.end()) {
      return {failure->second, 0};
    }
    return {0, static_cast<ObjectId>(calls_.size())};
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::map<std::string, Status> failures_;
  TapDescription tap_;
  std::vector<DeviceDescription> devices_;
  std::string attached_;
  std::function<void()> formatListener_;
};

const std::vector<std::string> ALL_STEPS = {"createTap",       "readFormat", "createDevice",
                                            "attachTap",       "awaitInput", "listenFormat",
                                            "createInputProc", "startDevice"};
const std::vector<std::string> STOP_STEPS = {"stopDevice", "destroyInputProc", "destroyDevice",
                                             "destroyTap"};

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.connect(path));
    ASSERT_TRUE(server.accept());
  }

  nlohmann::json nextEvent(std::chrono::milliseconds limit = 10s) {
    const auto message = server.next(limit);
    if (!message) return nullptr;
    EXPECT_EQ(message->type, EVENT_MESSAGE);
    return nlohmann::json::parse(message->payload);
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
  std::promise<int> exited;
  Capture::Exit exit = [this](int status) { exited.set_value(status); };
};

TEST_F(CaptureTest, StartTakesTheStepsInOrder) {
  Capture capture(link, {"com.a", " b"}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  EXPECT_EQ(tap.calls(), ALL_STEPS);

  const TapDescription description = tap.tapDescription();
  EXPECT_EQ(description.name, "quorvel");
  EXPECT_TRUE(description.isPrivate);
  EXPECT_FALSE(description.muted);
  EXPECT_TRUE(description.monoGlobal);
  EXPECT_TRUE(description.bundleIDs.empty());
  EXPECT_EQ(tap.attached(), description.uuid);
  EXPECT_EQ(description.uuid.size(), 36u);

  const DeviceDescription device = tap.devices().at(0);
  EXPECT_EQ(device.name, "quorvel-tap");
  EXPECT_EQ(device.uid.size(), 36u);
  EXPECT_NE(device.uid, description.uuid);
  EXPECT_TRUE(device.isPrivate);
  EXPECT_FALSE(device.stacked);
  EXPECT_TRUE(device.tapAutoStart);

  EXPECT_EQ(
      capture.info(),
      nlohmann::json::parse(R"({"rate":48000.0,"channels":2,"streams":1,"only":["com.a"," b"]})"));
  tap.streams.reset();
  EXPECT_EQ(capture.info()["streams"], 0);
}

TEST_F(CaptureTest, BundlesAreAppliedWhereTheSystemCan) {
  tap.bundleTaps = true;
  Capture capture(link, {"com.a"}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  const TapDescription description = tap.tapDescription();
  EXPECT_EQ(description.bundleIDs, std::vector<std::string>{"com.a"});
  EXPECT_FALSE(description.exclusive);
  EXPECT_TRUE(description.processRestore);
}

TEST_F(CaptureTest, EveryFailureOfStartNamesItsStep) {
  const StreamFormat good = tap.format;
  StreamFormat noRate = good;
  noRate.sampleRate = 0;
  StreamFormat noChannels = good;
  noChannels.channelsPerFrame = 0;
  StreamFormat integers = good;
  integers.formatFlags = 12;
  integers.bitsPerChannel = 16;
  StreamFormat notPCM = good;
  notPCM.formatID = 0x61616320;  // "aac "
  StreamFormat unconvertible = good;
  unconvertible.sampleRate = INFINITY;
  struct Case {
    const char* step;
    Status status;
    StreamFormat format;
    const char* message;
  };
  const Case cases[] = {
      {"createTap", 1852797029, good, "AudioHardwareCreateProcessTap 1852797029 'nope'"},
      {"createTap", 0, good, "AudioHardwareCreateProcessTap 0"},
      {"readFormat", -50, good, "kAudioTapPropertyFormat -50"},
      {nullptr, 0, noRate, "kAudioTapPropertyFormat 0"},
      {nullptr, 0, noChannels, "kAudioTapPropertyFormat 0"},
      {nullptr, 0, integers, "unexpected tap format 1819304813 flags 12 bits 16"},
      {nullptr, 0, notPCM, "unexpected tap format 1633772320 flags 9 bits 32"},
      {"createDevice", 560947818, good, "AudioHardwareCreateAggregateDevice 560947818 '!obj'"},
      {"createDevice", 0, good, "AudioHardwareCreateAggregateDevice 0"},
      {"attachTap", 2003332927, good, "kAudioAggregateDevicePropertyTapList 2003332927 'who?'"},
      {nullptr, 0, unconvertible, "soxr_create I/O ratio out-of-range"},
      {"createInputProc", 0, good, "AudioDeviceCreateIOProcIDWithBlock 0"},
      {"createInputProc", 5, good, "AudioDeviceCreateIOProcIDWithBlock 5"},
      {"startDevice", 1852797029, good, "AudioDeviceStart 1852797029 'nope'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ScriptedTap scripted;
    scripted.format = c.format;
    if (c.step != nullptr) scripted.fail(c.step, c.status);
    Capture capture(link, {}, scripted, exit);
    const auto error = capture.start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, c.message);
    const auto calls = scripted.calls();
    const auto last = std::find(ALL_STEPS.begin(), ALL_STEPS.end(), calls.back());
    // Nothing after the failing step was asked for, and nothing was taken down.
    EXPECT_EQ(calls, std::vector<std::string>(ALL_STEPS.begin(), last + 1));
  }
}

TEST_F(CaptureTest, InterleavedStereoAt48000IsSentAsMono) {
  Capture capture(link, {}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  std::vector<float> stereo(1024);
  for (std::size_t i = 0; i < stereo.size(); ++i) stereo[i] = i % 2 == 0 ? 0.5f : -0.25f;
  const Buffer buffer{.channels = 2, .byteSize = 4096, .data = stereo.data()};
  capture.handle(BufferList(&buffer, 1));
  const Buffer tooShort{.channels = 2, .byteSize = 4, .data = stereo.data()};
  capture.handle(BufferList(&tooShort, 1));
  capture.handle(BufferList(&buffer, 1));

  for (int m = 0; m < 2; ++m) {
    const auto message = server.next();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->type, AUDIO_MESSAGE);
    EXPECT_EQ(message->payload.size(), 2048u);
    EXPECT_EQ(samplesOf(message->payload), std::vector<float>(512, 0.125f));
  }
  EXPECT_FALSE(server.next(100ms));
}

TEST_F(CaptureTest, A44100TapIsConvertedTo48000WithHistoryAcrossCalls) {
  tap.format.sampleRate = 44100;
  tap.format.channelsPerFrame = 1;
  Capture capture(link, {}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  EXPECT_EQ(capture.info()["rate"], 44100.0);

  // One second of a 1 kHz tone in deliveries of 441 frames.
  std::vector<float> tone(44100);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    tone[i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * i / 44100.0));
  }
  // Fed from another thread: the socket holds less than a second of sound.
  std::thread feeder([&] {
    for (std::size_t at = 0; at < tone.size(); at += 441) {
      const Buffer buffer{.channels = 1, .byteSize = 441 * 4, .data = tone.data() + at};
      capture.handle(BufferList(&buffer, 1));
    }
  });
  std::vector<float> out;
  while (const auto message = server.next(200ms)) {
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

TEST_F(CaptureTest, ABurstOfChangesLeadsToOneRebuild) {
  Capture capture(link, {"x"}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  const auto began = std::chrono::steady_clock::now();
  {
    auto release = holdQueue(capture);
    capture.restart();
    capture.restart();
    tap.changeFormat();
    release.set_value();
  }
  const auto event = nextEvent();
  EXPECT_GE(std::chrono::steady_clock::now() - began, REBUILD_DELAY);
  EXPECT_EQ(event,
            nlohmann::json::parse(
                R"({"event":"restarted","rate":48000.0,"channels":2,"streams":1,"only":["x"]})"));
  EXPECT_EQ(nextEvent(REBUILD_DELAY + 300ms), nullptr);

  std::vector<std::string> expected = ALL_STEPS;
  expected.insert(expected.end(), STOP_STEPS.begin(), STOP_STEPS.end());
  expected.insert(expected.end(), ALL_STEPS.begin(), ALL_STEPS.end());
  EXPECT_EQ(tap.calls(), expected);
  EXPECT_NE(tap.devices().at(0).uid, tap.devices().at(1).uid);
}

TEST_F(CaptureTest, AFormatChangeRebuildsLikeADeviceChange) {
  Capture capture(link, {}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  tap.format.sampleRate = 44100;
  tap.changeFormat();
  const auto event = nextEvent();
  EXPECT_EQ(event["event"], "restarted");
  EXPECT_EQ(event["rate"], 44100.0);
}

TEST_F(CaptureTest, AChangeDuringARebuildLeadsToAnother) {
  Capture capture(link, {}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  int creations = 0;
  tap.duringCreateTap = [&] {
    if (++creations == 1) capture.restart();
  };
  capture.restart();
  EXPECT_EQ(nextEvent()["event"], "restarted");
  EXPECT_EQ(nextEvent()["event"], "restarted");
  EXPECT_EQ(nextEvent(REBUILD_DELAY + 300ms), nullptr);
  EXPECT_EQ(creations, 2);
}

TEST_F(CaptureTest, AFailedRebuildReportsTheStepAndExits) {
  Capture capture(link, {}, tap, exit);
  ASSERT_EQ(capture.start(), std::nullopt);
  tap.fail("createDevice", 1852797029);
  capture.restart();
  EXPECT_EQ(
      nextEvent(),
      nlohmann::json::parse(
          R"({"event":"error","message":"AudioHardwareCreateAggregateDevice 1852797029 'nope'"})"));
  auto status = exited.get_future();
  ASSERT_EQ(status.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(status.get(), 1);
}

}  // namespace
}  // namespace sonacap
