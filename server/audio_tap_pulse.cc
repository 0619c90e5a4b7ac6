// The tap on PulseAudio (also PipeWire's PulseAudio service): the monitor source of the default
// sink, read by a record stream; the sink keeps playing; the server mixes down to one channel.
// Beside it, each playback stream (sink input) of that sink that the choice takes, all of them
// without one, is read by a record stream of its own on that stream's monitor, and their sound
// is mixed on the clock of the sink's monitor. A stream's monitor is taken after the stream's
// volume but before the sink's mute: the mix is what a choice of streams records, and what the
// whole output records while the sink is muted, whose monitor is then silent. Otherwise the
// sink's monitor is taken as it is, since it misses nothing of a stream that just started.

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/audio_tap.h"
#include "server/stream_mixer.h"

namespace sonacap {
namespace {

constexpr double FRAGMENT_SECONDS = 0.04;  // an idle null sink renders 2 s blocks otherwise
constexpr double DELIVERY_SECONDS = 0.02;  // the least sound handed to the capture's queue
constexpr double BACKLOG_SECONDS = 0.5;    // what is kept while the capture's queue is stalled
constexpr auto READY_LIMIT = std::chrono::seconds(1);  // for a new stream to show its input
// A chosen stream joins the mix once it has this much ahead of the sink's clock: its monitor
// delivers in fragments of its own, a little after or before the sink's.
constexpr double PRIME_SECONDS = 0.08;
constexpr double STREAM_HOLD_SECONDS = 1.0;  // the most a chosen stream's sound is held

class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

struct ContextDelete {
  void operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
};
using ContextPtr = std::unique_ptr<pa_context, ContextDelete>;

struct StreamDelete {
  void operator()(pa_stream* stream) const {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
};
using StreamPtr = std::unique_ptr<pa_stream, StreamDelete>;

TapError failed(const char* call, int error) {
  return TapError{std::string(call) + ": " + pa_strerror(error != PA_OK ? error : PA_ERR_UNKNOWN)};
}

TapError failed(const char* call, pa_context* context) {
  return failed(call, pa_context_errno(context));
}

void signalLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

// Waits, with the loop locked, until op has finished; false when it failed or was cancelled.
bool await(pa_threaded_mainloop* loop, pa_operation* op) {
  if (op == nullptr) return false;
  while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  pa_operation_unref(op);
  return done;
}

// The sound read from the stream; shared with the deliveries queued on the capture's queue,
// which may run after the tap is stopped and then find it no longer delivering.
struct Feed {
  std::size_t bytesPerFrame = 4;
  std::size_t backlogLimit = 0;
  std::size_t deliveryMinimum = 0;

  std::mutex mutex;
  std::vector<std::byte> backlog;  // not yet delivered, at most backlogLimit
  std::size_t droppedBytes = 0;    // lost after the backlog, for want of room or in a hole
  bool drainQueued = false;
  bool delivering = false;
  TaskQueue* queue = nullptr;

  // Used on the loop's thread only: the streams' sound, and whether it stands for the sink's.
  StreamMixer mixer{0, 0};
  std::vector<float> mixed;
  bool streamsOnly = false;  // a choice of streams was made
  bool sinkMuted = false;

  // Used on the capture's queue only.
  std::function<void(Delivery)> onSound;
  std::vector<std::byte> delivery;
};

// Runs on the capture's queue: hands what the stream delivered since the last run to the
// callback. A callback that blocks (a full socket) holds up neither the loop nor the stream;
// meanwhile the backlog fills up to its limit and what comes later is counted as lost.
void drain(Feed& feed) {
  std::size_t dropped = 0;
  {
    std::lock_guard lock(feed.mutex);
    feed.drainQueued = false;
    if (!feed.delivering) return;
    std::swap(feed.backlog, feed.delivery);
    dropped = feed.droppedBytes;
    feed.droppedBytes = 0;
  }
  const std::size_t frames = feed.delivery.size() / feed.bytesPerFrame;
  feed.onSound(
      Delivery{.samples = std::span(reinterpret_cast<const float*>(feed.delivery.data()), frames),
               .lostFrames = dropped / feed.bytesPerFrame});
  feed.delivery.clear();
}

// Runs on the loop's thread whenever the stream has data: moves it to the backlog and queues
// one drain at a time. A hole (sound the server lost) is kept as silence of its length.
void onReadable(pa_stream* stream, std::size_t, void* data) {
  auto& feed = *static_cast<std::shared_ptr<Feed>*>(data);
  bool queueDrain = false;
  const void* bytes = nullptr;
  std::size_t size = 0;
  while (pa_stream_peek(stream, &bytes, &size) == 0 && size > 0) {
    {
      std::lock_guard lock(feed->mutex);
      // Once something is lost, later sound waits for the next drain so the order holds.
      // Mixed in step with the sink's time whether it is taken or not.
      feed->mixed.resize(size / sizeof(float));
      feed->mixer.mix(feed->mixed);
      if (feed->streamsOnly || feed->sinkMuted) bytes = feed->mixed.data();
      if (feed->delivering && feed->droppedBytes == 0 &&
          feed->backlog.size() + size <= feed->backlogLimit) {
        if (bytes != nullptr) {
          const auto* begin = static_cast<const std::byte*>(bytes);
          feed->backlog.insert(feed->backlog.end(), begin, begin + size);
        } else {
          feed->backlog.resize(feed->backlog.size() + size, std::byte{0});
        }
      } else if (feed->delivering) {
        feed->droppedBytes += size;
      }
      // The server hands over a few milliseconds at a time, and each hand-over to the
      // capture's queue costs a thread switch: gather a little first.
      if (feed->delivering && !feed->drainQueued &&
          (feed->backlog.size() >= feed->deliveryMinimum || feed->droppedBytes > 0)) {
        queueDrain = true;
        feed->drainQueued = true;
      }
    }
    pa_stream_drop(stream);
  }
  if (queueDrain && feed->queue != nullptr) {
    feed->queue->async([self = feed] { drain(*self); });
  }
}

class PulseTap final : public AudioTap {
 public:
  explicit PulseTap(StreamChoice choice)
      : streamsOnly_(static_cast<bool>(choice)),
        choice_(choice ? std::move(choice) : [](const PlaybackStream&) { return true; }),
        loop_(pa_threaded_mainloop_new()) {
    if (loop_ != nullptr && pa_threaded_mainloop_start(loop_) < 0) {
      pa_threaded_mainloop_free(loop_);
      loop_ = nullptr;
    }
  }

  ~PulseTap() override {
    if (loop_ == nullptr) return;
    stop();
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  PulseTap(const PulseTap&) = delete;
  PulseTap& operator=(const PulseTap&) = delete;

  std::variant<TapFormat, TapError> open() override {
    if (loop_ == nullptr) return failed("pa_threaded_mainloop_start", PA_ERR_INTERNAL);
    LoopLock lock(loop_);
    context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_), "sonacap"));
    if (!context_) return failed("pa_context_new", PA_ERR_INTERNAL);
    pa_context* context = context_.get();
    pa_context_set_state_callback(context, onContextState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return failed("pa_context_connect", context);
    }
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(context);
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state)) return failed("pa_context_connect", context);
      pa_threaded_mainloop_wait(loop_);
    }

    if (!await(loop_, pa_context_get_server_info(context, onServerInfo, this))) {
      return failed("pa_context_get_server_info", context);
    }
    if (defaultSink_.empty()) return TapError{"pa_context_get_server_info: no default output"};
    sinkFound_ = false;
    if (!await(loop_,
               pa_context_get_sink_info_by_name(context, defaultSink_.c_str(), onSinkInfo, this))) {
      return failed("pa_context_get_sink_info_by_name", context);
    }
    if (!sinkFound_ || monitor_.empty()) {
      return failed("pa_context_get_sink_info_by_name", PA_ERR_NOENTITY);
    }

    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, sinkSpec_.rate, 1};
    stream_.reset(pa_stream_new(context, "quorvel-tap", &spec, nullptr));
    if (!stream_) return failed("pa_stream_new", context);
    const auto bytesPerSecond = static_cast<std::uint32_t>(pa_bytes_per_second(&spec));
    auto feed = std::make_shared<Feed>();
    feed->bytesPerFrame = pa_frame_size(&spec);
    feed->backlogLimit = static_cast<std::size_t>(bytesPerSecond * BACKLOG_SECONDS);
    feed->deliveryMinimum = static_cast<std::size_t>(bytesPerSecond * DELIVERY_SECONDS);
    feed->backlog.reserve(feed->backlogLimit);
    feed->delivery.reserve(feed->backlogLimit);
    const double rate = sinkSpec_.rate;
    feed->mixer = StreamMixer(static_cast<std::size_t>(rate * PRIME_SECONDS),
                              static_cast<std::size_t>(rate * STREAM_HOLD_SECONDS));
    feed->streamsOnly = streamsOnly_;
    feed->sinkMuted = sinkMuted_;
    feed_ = std::move(feed);
    pa_stream_set_state_callback(stream_.get(), onStreamState, this);

    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(bytesPerSecond * BACKLOG_SECONDS);
    attributes.fragsize = static_cast<std::uint32_t>(bytesPerSecond * FRAGMENT_SECONDS);
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
    // Without DONT_MOVE the server would move the stream to a new default sink on its own,
    // leaving an unmarked hole; the capture's rebuild follows the change instead.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_.get(), monitor_.c_str(), &attributes, flags) < 0) {
      return failed("pa_stream_connect_record", context);
    }
    // The stream may take a moment to show its input; go on either way after READY_LIMIT,
    // which a timer on the loop makes sure to wake us for.
    const auto deadline = std::chrono::steady_clock::now() + READY_LIMIT;
    pa_time_event* wake = pa_context_rttime_new(
        context, pa_rtclock_now() + std::chrono::microseconds(READY_LIMIT).count(),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
          signalLoop(static_cast<pa_threaded_mainloop*>(data));
        },
        loop_);
    pa_stream_state_t state = pa_stream_get_state(stream_.get());
    while (state == PA_STREAM_CREATING && std::chrono::steady_clock::now() < deadline) {
      pa_threaded_mainloop_wait(loop_);
      state = pa_stream_get_state(stream_.get());
    }
    if (wake != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(wake);
    if (!PA_STREAM_IS_GOOD(state)) return failed("pa_stream_connect_record", context);

    pa_context_set_subscribe_callback(context, onEvent, this);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT);
    pa_operation* subscribed = pa_context_subscribe(context, mask, nullptr, nullptr);
    if (subscribed == nullptr) return failed("pa_context_subscribe", context);
    pa_operation_unref(subscribed);
    watching_ = true;
    if (!await(loop_, pa_context_get_sink_input_info_list(context, onSinkInput, this))) {
      return failed("pa_context_get_sink_input_info_list", context);
    }
    return TapFormat{.rate = static_cast<double>(sinkSpec_.rate),
                     .channels = 1,
                     .streams = state == PA_STREAM_READY ? 1u : 0u};
  }

  std::optional<TapError> start(TaskQueue& queue, std::function<void(Delivery)> onSound) override {
    if (!stream_ || !feed_) return failed("pa_stream_cork", PA_ERR_BADSTATE);
    LoopLock lock(loop_);
    {
      std::lock_guard feedLock(feed_->mutex);
      feed_->onSound = std::move(onSound);
      feed_->queue = &queue;
      feed_->delivering = true;
    }
    pa_stream_set_read_callback(stream_.get(), onReadable, &feed_);
    pa_operation* op = pa_stream_cork(
        stream_.get(), 0,
        [](pa_stream*, int, void* data) { signalLoop(static_cast<pa_threaded_mainloop*>(data)); },
        loop_);
    if (!await(loop_, op)) return failed("pa_stream_cork", context_.get());
    return std::nullopt;
  }

  void stop() override {
    if (loop_ == nullptr) return;
    LoopLock lock(loop_);
    watching_ = false;
    if (feed_) {
      std::lock_guard feedLock(feed_->mutex);
      feed_->delivering = false;
      feed_->queue = nullptr;
      feed_->backlog.clear();
    }
    chosen_.clear();
    retired_.clear();
    stream_.reset();
    feed_.reset();
    context_.reset();
  }

  void watch(std::function<void(TapChange)> onChange) override { onChange_ = std::move(onChange); }

 private:
  // Runs on the loop's thread, as do the callbacks below.
  void changed(TapChange change) {
    if (watching_ && onChange_) onChange_(change);
  }

  static void onContextState(pa_context* context, void* data) {
    auto* self = static_cast<PulseTap*>(data);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) self->changed(TapChange::lost);
    signalLoop(self->loop_);
  }

  static void onStreamState(pa_stream* stream, void* data) {
    auto* self = static_cast<PulseTap*>(data);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) self->changed(TapChange::lost);
    signalLoop(self->loop_);
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* data) {
    auto* self = static_cast<PulseTap*>(data);
    const std::string name =
        info != nullptr && info->default_sink_name != nullptr ? info->default_sink_name : "";
    // The first answer of an open sets the sink to tap; later ones tell of a new default.
    if (self->watching_ && name != self->defaultSink_) self->changed(TapChange::output);
    if (!self->watching_) self->defaultSink_ = name;
    signalLoop(self->loop_);
  }

  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* self = static_cast<PulseTap*>(data);
    if (eol == 0 && info != nullptr) {
      if (self->watching_) {
        if (!pa_sample_spec_equal(&info->sample_spec, &self->sinkSpec_)) {
          self->changed(TapChange::format);
        }
        if (self->feed_) self->feed_->sinkMuted = info->mute != 0;
        return;
      }
      self->sinkMuted_ = info->mute != 0;
      self->sinkFound_ = true;
      self->sinkIndex_ = info->index;
      self->monitor_ = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
      self->sinkSpec_ = info->sample_spec;
      return;
    }
    signalLoop(self->loop_);
  }

  // A change of the server may be a new default sink; a change of the tapped sink may be a
  // change of its format.
  static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                      void* data) {
    auto* self = static_cast<PulseTap*>(data);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    pa_operation* op = nullptr;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
      op = pa_context_get_server_info(context, onServerInfo, self);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && kind == PA_SUBSCRIPTION_EVENT_CHANGE &&
               index == self->sinkIndex_) {
      op = pa_context_get_sink_info_by_index(context, index, onSinkInfo, self);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT &&
               kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      self->forget(index);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
      // A new stream, or one that moved to this sink or away from it.
      op = pa_context_get_sink_input_info(context, index, onSinkInput, self);
    }
    if (op != nullptr) pa_operation_unref(op);
  }

  // A chosen playback stream and the record stream that reads it.
  struct Chosen {
    PulseTap* tap = nullptr;
    std::uint32_t input = PA_INVALID_INDEX;
    StreamPtr stream;
  };

  static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
    auto* self = static_cast<PulseTap*>(data);
    if (eol != 0 || info == nullptr) {
      signalLoop(self->loop_);
      return;
    }
    if (info->sink != self->sinkIndex_) {
      self->forget(info->index);
      return;
    }
    if (self->chosen_.count(info->index) != 0) return;
    PlaybackStream playing;
    if (const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)) {
      playing.pid = static_cast<pid_t>(std::strtol(pid, nullptr, 10));
    }
    for (const char* key : {PA_PROP_APPLICATION_PROCESS_BINARY, PA_PROP_APPLICATION_ID}) {
      if (const char* name = pa_proplist_gets(info->proplist, key))
        playing.names.emplace_back(name);
    }
    // The recorder's own sound, if it ever played any, is never part of a recording.
    if (playing.pid == ::getpid() || !self->choice_(playing)) return;
    self->follow(info->index);
  }

  void follow(std::uint32_t input) {
    pa_context* context = context_.get();
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, sinkSpec_.rate, 1};
    auto chosen = std::make_unique<Chosen>();
    chosen->tap = this;
    chosen->input = input;
    chosen->stream.reset(pa_stream_new(context, "quorvel-stream-tap", &spec, nullptr));
    if (!chosen->stream || pa_stream_set_monitor_stream(chosen->stream.get(), input) < 0) return;
    pa_stream* stream = chosen->stream.get();
    pa_stream_set_read_callback(stream, onChosenReadable, chosen.get());
    pa_stream_set_state_callback(stream, onChosenState, chosen.get());
    const auto bytesPerSecond = static_cast<std::uint32_t>(pa_bytes_per_second(&spec));
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(bytesPerSecond * BACKLOG_SECONDS);
    attributes.fragsize = static_cast<std::uint32_t>(bytesPerSecond * FRAGMENT_SECONDS);
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, monitor_.c_str(), &attributes, flags) < 0) return;
    if (feed_) feed_->mixer.add(input);
    chosen_[input] = std::move(chosen);
  }

  // The stream ended or left this sink. Its record stream is released later, outside its own
  // callbacks; its sound leaves the mix now.
  void forget(std::uint32_t input) {
    if (feed_) feed_->mixer.remove(input);
    const auto found = chosen_.find(input);
    if (found == chosen_.end()) return;
    retired_.push_back(std::move(found->second));
    chosen_.erase(found);
    pa_mainloop_api_once(
        pa_threaded_mainloop_get_api(loop_),
        [](pa_mainloop_api*, void* data) { static_cast<PulseTap*>(data)->retired_.clear(); }, this);
  }

  static void onChosenReadable(pa_stream* stream, std::size_t, void* data) {
    auto* chosen = static_cast<Chosen*>(data);
    const std::shared_ptr<Feed>& feed = chosen->tap->feed_;
    const void* bytes = nullptr;
    std::size_t size = 0;
    while (pa_stream_peek(stream, &bytes, &size) == 0 && size > 0) {
      if (feed && bytes != nullptr) {
        feed->mixer.feed(chosen->input,
                         std::span(static_cast<const float*>(bytes), size / sizeof(float)));
      }
      pa_stream_drop(stream);
    }
  }

  // A record stream on a stream's monitor ends when that stream ends.
  static void onChosenState(pa_stream* stream, void* data) {
    auto* chosen = static_cast<Chosen*>(data);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) chosen->tap->forget(chosen->input);
  }

  const bool streamsOnly_;
  const StreamChoice choice_;
  pa_threaded_mainloop* loop_;
  std::function<void(TapChange)> onChange_;
  // Guarded by the loop's lock.
  ContextPtr context_;
  StreamPtr stream_;
  std::shared_ptr<Feed> feed_;
  bool watching_ = false;  // from a successful open to stop
  std::string defaultSink_;
  bool sinkFound_ = false;
  std::uint32_t sinkIndex_ = PA_INVALID_INDEX;
  std::string monitor_;
  pa_sample_spec sinkSpec_{};
  bool sinkMuted_ = false;
  std::map<std::uint32_t, std::unique_ptr<Chosen>> chosen_;
  std::vector<std::unique_ptr<Chosen>> retired_;
};

}  // namespace

std::unique_ptr<AudioTap> makeSystemAudioTap(StreamChoice choice) {
  return std::make_unique<PulseTap>(std::move(choice));
}

}  // namespace sonacap
