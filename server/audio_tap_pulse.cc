// The tap on PulseAudio (also PipeWire's PulseAudio service): the monitor source of the default
// sink, read by a record stream. The sink keeps playing; the server mixes down to one channel.

#include <pulse/pulseaudio.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/audio_tap.h"

namespace sonacap {
namespace {

constexpr double FRAGMENT_SECONDS = 0.01;  // an idle null sink renders 2 s blocks otherwise
constexpr double DELIVERY_SECONDS = 0.02;  // the least sound handed to the capture's queue
constexpr double BACKLOG_SECONDS = 0.5;    // what is kept while the capture's queue is stalled

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

Status errorOf(pa_context* context) {
  const int error = pa_context_errno(context);
  return error != PA_OK ? error : PA_ERR_UNKNOWN;
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

struct Connected {
  Status status = 0;
  ContextPtr context;
};

// Connects a context with the loop locked.
Connected connectContext(pa_threaded_mainloop* loop) {
  ContextPtr context(pa_context_new(pa_threaded_mainloop_get_api(loop), "sonacap"));
  if (!context) return {PA_ERR_INTERNAL, nullptr};
  pa_context_set_state_callback(
      context.get(),
      [](pa_context*, void* data) { signalLoop(static_cast<pa_threaded_mainloop*>(data)); }, loop);
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return {errorOf(context.get()), nullptr};
  }
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context.get());
    if (state == PA_CONTEXT_READY) return {0, std::move(context)};
    if (!PA_CONTEXT_IS_GOOD(state)) return {errorOf(context.get()), nullptr};
    pa_threaded_mainloop_wait(loop);
  }
}

struct ServerQuery {
  pa_threaded_mainloop* loop;
  std::string defaultSink;
};

// The name of the default sink, with the loop locked; empty when there is none.
bool queryDefaultSink(pa_threaded_mainloop* loop, pa_context* context, std::string& name) {
  ServerQuery query{loop, {}};
  const bool done = await(loop, pa_context_get_server_info(
                                    context,
                                    [](pa_context*, const pa_server_info* info, void* data) {
                                      auto* q = static_cast<ServerQuery*>(data);
                                      if (info != nullptr && info->default_sink_name != nullptr) {
                                        q->defaultSink = info->default_sink_name;
                                      }
                                      signalLoop(q->loop);
                                    },
                                    &query));
  name = query.defaultSink;
  return done;
}

struct SinkQuery {
  pa_threaded_mainloop* loop = nullptr;
  bool found = false;
  std::uint32_t index = PA_INVALID_INDEX;
  std::string monitor;
  pa_sample_spec spec{};
};

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
  auto* q = static_cast<SinkQuery*>(data);
  if (eol == 0 && info != nullptr) {
    q->found = true;
    q->index = info->index;
    q->monitor = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
    q->spec = info->sample_spec;
    return;
  }
  signalLoop(q->loop);
}

struct Tap {
  ObjectId id = 0;
  std::string uuid;
  ContextPtr context;
  std::uint32_t sinkIndex = PA_INVALID_INDEX;
  std::string monitor;
  pa_sample_spec spec{};
  std::function<void()> onFormat;
};

// Runs on the loop's thread: a change of the tapped sink may be a change of its format.
void onTapEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                void* data) {
  auto* tap = static_cast<Tap*>(data);
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK ||
      (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE ||
      index != tap->sinkIndex) {
    return;
  }
  pa_operation* op = pa_context_get_sink_info_by_index(
      context, index,
      [](pa_context*, const pa_sink_info* info, int eol, void* data) {
        auto* tap = static_cast<Tap*>(data);
        if (eol != 0 || info == nullptr || pa_sample_spec_equal(&info->sample_spec, &tap->spec)) {
          return;
        }
        tap->spec = info->sample_spec;
        if (tap->onFormat) runInBackground(tap->onFormat);
      },
      tap);
  if (op != nullptr) pa_operation_unref(op);
}

// The record stream; shared with the deliveries queued on the capture's queue, which may run
// after the stream is gone and then find it empty.
struct Device : std::enable_shared_from_this<Device> {
  ObjectId id = 0;
  pa_threaded_mainloop* loop = nullptr;
  StreamPtr stream;
  std::uint32_t bytesPerSecond = 0;

  std::mutex settleMutex;
  std::condition_variable settled;
  bool ready = false;  // ready, or failed for good

  // Guarded by the loop's lock.
  ObjectId proc = 0;
  TaskQueue* queue = nullptr;

  // The sound read from the stream and not yet delivered, at most the backlog.
  std::mutex backlogMutex;
  std::vector<std::byte> backlog;
  std::size_t backlogLimit = 0;
  std::size_t deliveryMinimum = 0;
  bool drainQueued = false;
  bool delivering = false;  // between createInputProc and destroyInputProc

  // Used on the capture's queue only.
  std::function<void(BufferList)> onInput;
  std::vector<std::byte> delivery;
};

void onStreamState(pa_stream* stream, void* data) {
  auto* device = static_cast<Device*>(data);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_CREATING || state == PA_STREAM_UNCONNECTED) return;
  {
    std::lock_guard lock(device->settleMutex);
    device->ready = true;
  }
  device->settled.notify_all();
}

// Runs on the capture's queue: hands what the stream delivered since the last run to the
// callback as one buffer. A callback that blocks (a full socket) holds up neither the loop nor
// the stream; meanwhile the backlog fills up to its limit and later sound is dropped.
void drain(Device& device) {
  {
    std::lock_guard lock(device.backlogMutex);
    device.drainQueued = false;
    if (!device.delivering) return;
    std::swap(device.backlog, device.delivery);
  }
  if (device.delivery.empty()) return;
  const Buffer buffer{.channels = 1,
                      .byteSize = static_cast<std::uint32_t>(device.delivery.size()),
                      .data = device.delivery.data()};
  device.onInput(BufferList(&buffer, 1));
  device.delivery.clear();
}

// Runs on the loop's thread whenever the stream has data: moves it to the backlog and queues
// one drain at a time. Holes (sound the server lost) are skipped; nothing would be sent for
// them anyway.
void onReadable(pa_stream* stream, std::size_t, void* data) {
  auto* device = static_cast<Device*>(data);
  bool queueDrain = false;
  const void* bytes = nullptr;
  std::size_t size = 0;
  while (pa_stream_peek(stream, &bytes, &size) == 0 && size > 0) {
    if (bytes != nullptr) {
      std::lock_guard lock(device->backlogMutex);
      if (device->delivering && device->backlog.size() + size <= device->backlogLimit) {
        const auto* begin = static_cast<const std::byte*>(bytes);
        device->backlog.insert(device->backlog.end(), begin, begin + size);
        // The server hands over a few milliseconds at a time, and each hand-over to the
        // capture's queue costs a thread switch: gather a little first.
        if (!device->drainQueued && device->backlog.size() >= device->deliveryMinimum) {
          queueDrain = true;
          device->drainQueued = true;
        }
      }
    }
    pa_stream_drop(stream);
  }
  if (queueDrain && device->queue != nullptr) {
    device->queue->async([self = device->shared_from_this()] { drain(*self); });
  }
}

class PulseTap final : public AudioTap {
 public:
  PulseTap() : loop_(pa_threaded_mainloop_new()) {
    if (loop_ != nullptr) pa_threaded_mainloop_start(loop_);
  }

  ~PulseTap() override {
    if (loop_ == nullptr) return;
    {
      LoopLock lock(loop_);
      if (device_) device_->stream.reset();
      device_.reset();
      tap_.reset();
      system_.reset();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  PulseTap(const PulseTap&) = delete;
  PulseTap& operator=(const PulseTap&) = delete;

  // Bundle identifiers are not applied on this back end: the tap takes all processes.
  bool canTapBundles() const override { return false; }

  Made createTap(const TapDescription& description) override {
    if (loop_ == nullptr) return {PA_ERR_INTERNAL, 0};
    LoopLock lock(loop_);
    Connected connected = connectContext(loop_);
    if (connected.status != 0) return {connected.status, 0};
    pa_context* context = connected.context.get();
    std::string sinkName;
    if (!queryDefaultSink(loop_, context, sinkName)) return {errorOf(context), 0};
    if (sinkName.empty()) return {PA_ERR_NOENTITY, 0};
    SinkQuery sink;
    sink.loop = loop_;
    if (!await(loop_,
               pa_context_get_sink_info_by_name(context, sinkName.c_str(), onSinkInfo, &sink))) {
      return {errorOf(context), 0};
    }
    if (!sink.found || sink.monitor.empty()) return {PA_ERR_NOENTITY, 0};
    auto tap = std::make_unique<Tap>();
    tap->id = ++lastId_;
    tap->uuid = description.uuid;
    tap->context = std::move(connected.context);
    tap->sinkIndex = sink.index;
    tap->monitor = sink.monitor;
    tap->spec = sink.spec;
    tap_ = std::move(tap);
    return {0, tap_->id};
  }

  Status readFormat(ObjectId tap, StreamFormat& format) override {
    if (!tap_ || tap_->id != tap) return PA_ERR_NOENTITY;
    LoopLock lock(loop_);
    format = StreamFormat{.sampleRate = static_cast<double>(tap_->spec.rate),
                          .formatID = FORMAT_LINEAR_PCM,
                          .formatFlags = FORMAT_FLAG_IS_FLOAT | FORMAT_FLAG_IS_PACKED,
                          .channelsPerFrame = 1,
                          .bitsPerChannel = 32};
    return 0;
  }

  Made createDevice(const DeviceDescription& description) override {
    if (!tap_) return {PA_ERR_NOENTITY, 0};
    LoopLock lock(loop_);
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, tap_->spec.rate, 1};
    StreamPtr stream(pa_stream_new(tap_->context.get(), description.name.c_str(), &spec, nullptr));
    if (!stream) return {errorOf(tap_->context.get()), 0};
    auto device = std::make_shared<Device>();
    device->id = ++lastId_;
    device->loop = loop_;
    device->bytesPerSecond = static_cast<std::uint32_t>(pa_bytes_per_second(&spec));
    device->backlogLimit = static_cast<std::size_t>(device->bytesPerSecond * BACKLOG_SECONDS);
    device->deliveryMinimum = static_cast<std::size_t>(device->bytesPerSecond * DELIVERY_SECONDS);
    device->backlog.reserve(device->backlogLimit);
    device->delivery.reserve(device->backlogLimit);
    device->stream = std::move(stream);
    pa_stream_set_state_callback(device->stream.get(), onStreamState, device.get());
    device_ = std::move(device);
    return {0, device_->id};
  }

  Status attachTap(ObjectId device, const std::string& tapUUID) override {
    if (!device_ || device_->id != device || !tap_ || tap_->uuid != tapUUID) {
      return PA_ERR_NOENTITY;
    }
    LoopLock lock(loop_);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(device_->bytesPerSecond * BACKLOG_SECONDS);
    attributes.fragsize = static_cast<std::uint32_t>(device_->bytesPerSecond * FRAGMENT_SECONDS);
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
    // Without DONT_MOVE the server would move the stream to a new default sink on its own,
    // leaving an unmarked hole; the capture's rebuild follows the change instead.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(device_->stream.get(), tap_->monitor.c_str(), &attributes, flags) <
        0) {
      return errorOf(tap_->context.get());
    }
    return 0;
  }

  void awaitInput(ObjectId device, std::chrono::milliseconds limit) override {
    if (!device_ || device_->id != device) return;
    std::unique_lock lock(device_->settleMutex);
    device_->settled.wait_for(lock, limit, [this] { return device_->ready; });
  }

  std::optional<std::uint32_t> inputStreams(ObjectId device) override {
    if (!device_ || device_->id != device) return std::nullopt;
    LoopLock lock(loop_);
    return pa_stream_get_state(device_->stream.get()) == PA_STREAM_READY ? 1 : 0;
  }

  void listenFormat(ObjectId tap, std::function<void()> onChange) override {
    if (!tap_ || tap_->id != tap) return;
    LoopLock lock(loop_);
    tap_->onFormat = std::move(onChange);
    pa_context_set_subscribe_callback(tap_->context.get(), onTapEvent, tap_.get());
    pa_operation* op =
        pa_context_subscribe(tap_->context.get(), PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr);
    if (op != nullptr) pa_operation_unref(op);
  }

  Made createInputProc(ObjectId device, TaskQueue& queue,
                       std::function<void(BufferList)> onInput) override {
    if (!device_ || device_->id != device) return {PA_ERR_NOENTITY, 0};
    LoopLock lock(loop_);
    device_->onInput = std::move(onInput);
    device_->queue = &queue;
    device_->proc = ++lastId_;
    {
      std::lock_guard backlog(device_->backlogMutex);
      device_->delivering = true;
    }
    pa_stream_set_read_callback(device_->stream.get(), onReadable, device_.get());
    return {0, device_->proc};
  }

  Status startDevice(ObjectId device, ObjectId proc) override { return cork(device, proc, false); }

  Status stopDevice(ObjectId device, ObjectId proc) override { return cork(device, proc, true); }

  Status destroyInputProc(ObjectId device, ObjectId proc) override {
    if (!device_ || device_->id != device || device_->proc != proc) return PA_ERR_NOENTITY;
    LoopLock lock(loop_);
    pa_stream_set_read_callback(device_->stream.get(), nullptr, nullptr);
    device_->queue = nullptr;
    device_->proc = 0;
    std::lock_guard backlog(device_->backlogMutex);
    device_->delivering = false;
    device_->backlog.clear();
    return 0;
  }

  Status destroyDevice(ObjectId device) override {
    if (!device_ || device_->id != device) return PA_ERR_NOENTITY;
    LoopLock lock(loop_);
    device_->stream.reset();
    device_.reset();
    return 0;
  }

  Status destroyTap(ObjectId tap) override {
    if (!tap_ || tap_->id != tap) return PA_ERR_NOENTITY;
    LoopLock lock(loop_);
    tap_.reset();
    return 0;
  }

  void listenDefaultOutput(std::function<void()> onChange) override {
    if (loop_ == nullptr) return;
    LoopLock lock(loop_);
    Connected connected = connectContext(loop_);
    if (connected.status != 0) return;
    system_ = std::move(connected.context);
    onDefaultOutput_ = std::move(onChange);
    queryDefaultSink(loop_, system_.get(), defaultSink_);
    pa_context_set_subscribe_callback(system_.get(), onServerEvent, this);
    pa_operation* op =
        pa_context_subscribe(system_.get(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
    if (op != nullptr) pa_operation_unref(op);
  }

 private:
  Status cork(ObjectId device, ObjectId proc, bool corked) {
    if (!device_ || device_->id != device || device_->proc != proc) return PA_ERR_NOENTITY;
    LoopLock lock(loop_);
    pa_operation* op = pa_stream_cork(
        device_->stream.get(), corked ? 1 : 0,
        [](pa_stream*, int, void* data) { signalLoop(static_cast<pa_threaded_mainloop*>(data)); },
        loop_);
    if (op == nullptr || !await(loop_, op)) return errorOf(tap_ ? tap_->context.get() : nullptr);
    return 0;
  }

  // Runs on the loop's thread: a change of the server may be a new default sink.
  static void onServerEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t,
                            void* data) {
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
    pa_operation* op = pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* data) {
          auto* self = static_cast<PulseTap*>(data);
          const std::string name =
              info != nullptr && info->default_sink_name != nullptr ? info->default_sink_name : "";
          if (name == self->defaultSink_) return;
          self->defaultSink_ = name;
          runInBackground(self->onDefaultOutput_);
        },
        data);
    if (op != nullptr) pa_operation_unref(op);
  }

  pa_threaded_mainloop* const loop_;
  ObjectId lastId_ = 0;
  std::unique_ptr<Tap> tap_;
  std::shared_ptr<Device> device_;
  ContextPtr system_;  // watches the default sink for as long as the process runs
  std::string defaultSink_;
  std::function<void()> onDefaultOutput_;
};

}  // namespace

std::unique_ptr<AudioTap> makeSystemAudioTap() { return std::make_unique<PulseTap>(); }

}  // namespace sonacap
