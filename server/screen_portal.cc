#include "server/screen_portal.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "server/content_sound.h"

namespace sonacap {
namespace {

constexpr const char* PORTAL = "org.freedesktop.portal.Desktop";
constexpr const char* PORTAL_PATH = "/org/freedesktop/portal/desktop";
constexpr const char* SCREEN_CAST = "org.freedesktop.portal.ScreenCast";
constexpr guint32 MONITOR = 1;
constexpr guint32 WINDOW = 2;
constexpr guint32 CURSOR_HIDDEN = 1;
constexpr guint32 CURSOR_EMBEDDED = 2;
constexpr guint32 RESPONSE_CANCELLED = 1;

ScreenError fromGError(const char* call, GError* error) {
  ScreenError failure{std::string(call) + ": " + (error ? error->message : "failed"),
                      error ? error->code : 0};
  if (error && g_dbus_error_is_remote_error(error)) {
    gchar* name = g_dbus_error_get_remote_error(error);
    failure.declined = name && std::strcmp(name, "org.freedesktop.portal.Error.NotAllowed") == 0;
    g_free(name);
  }
  g_clear_error(&error);
  return failure;
}

struct Unref {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, Unref>;

// A portal request's answer: its response code and results.
struct Answer {
  guint32 code = 2;
  Variant results;
};

class PortalSource : public ScreenSource {
 public:
  ~PortalSource() override {
    if (pickThread_.joinable()) pickThread_.detach();
  }

  std::optional<std::string> missing() override {
    GError* error = nullptr;
    bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus_) {
      std::string message = "screen recording needs a session bus: ";
      message += error ? error->message : "none";
      g_clear_error(&error);
      return message;
    }
    Variant types(g_dbus_connection_call_sync(
        bus_, PORTAL, PORTAL_PATH, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", SCREEN_CAST, "AvailableSourceTypes"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error));
    if (!types) {
      std::string message = "screen recording needs the desktop's screen-cast portal (";
      message += SCREEN_CAST;
      message += "): ";
      message += error ? error->message : "none";
      g_clear_error(&error);
      return message;
    }
    Variant inner(g_variant_get_child_value(types.get(), 0));
    Variant value(g_variant_get_variant(inner.get()));
    sourceTypes_ = g_variant_get_uint32(value.get());
    Variant cursors(g_dbus_connection_call_sync(
        bus_, PORTAL, PORTAL_PATH, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", SCREEN_CAST, "AvailableCursorModes"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    if (cursors) {
      Variant child(g_variant_get_child_value(cursors.get(), 0));
      Variant modes(g_variant_get_variant(child.get()));
      cursorModes_ = g_variant_get_uint32(modes.get());
    }
    return std::nullopt;
  }

  void pick(PickerEvents events) override {
    pickThread_ = std::thread([this, events = std::move(events)] { runPicker(events); });
  }

  std::optional<ScreenError> open(const ScreenContent&, const StreamSettings& settings,
                                  TaskQueue& queue, StreamEvents events) override {
    queue_ = &queue;
    events_ = std::move(events);
    settings_ = settings;
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    Variant reply(g_dbus_connection_call_with_unix_fd_list_sync(
        bus_, PORTAL, PORTAL_PATH, SCREEN_CAST, "OpenPipeWireRemote",
        g_variant_new("(oa{sv})", session_.c_str(), nullptr), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &fds, nullptr, &error));
    if (!reply) return fromGError("OpenPipeWireRemote", error);
    gint32 index = 0;
    g_variant_get(reply.get(), "(h)", &index);
    const int fd = g_unix_fd_list_get(fds, index, &error);
    g_object_unref(fds);
    if (fd < 0) return fromGError("g_unix_fd_list_get", error);

    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("quorvel.pipewire", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
    if (!core_)
      return ScreenError{std::string("pw_context_connect_fd: ") + std::strerror(errno), errno};
    stream_ = pw_stream_new(core_, "quorvel screen",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream_) return ScreenError{std::string("pw_stream_new: ") + std::strerror(errno), errno};
    static const pw_stream_events streamEvents = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = [](void* self, pw_stream_state, pw_stream_state state, const char* why) {
        static_cast<PortalSource*>(self)->streamState(state, why);
      };
      e.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
        static_cast<PortalSource*>(self)->formatChanged(id, param);
      };
      e.process = [](void* self) { static_cast<PortalSource*>(self)->process(); };
      return e;
    }();
    pw_stream_add_listener(stream_, &streamHook_, &streamEvents, this);

    if (auto error = sound_.open(queue, events_.sound)) return error;
    return std::nullopt;
  }

  void start(std::function<void(std::optional<ScreenError>)> done) override {
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_rectangle size = SPA_RECTANGLE(1920, 1080);
    const spa_rectangle smallest = SPA_RECTANGLE(1, 1);
    const spa_rectangle largest = SPA_RECTANGLE(16384, 16384);
    const spa_fraction slowest = SPA_FRACTION(0, 1);
    const auto perSecond = static_cast<uint32_t>(std::lround(1.0 / settings_.frameInterval));
    const spa_fraction rate = SPA_FRACTION(perSecond, 1);
    const spa_fraction fastest = SPA_FRACTION(perSecond, 1);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)))};
    pw_thread_loop_lock(loop_);
    const int status = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node_,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    pw_thread_loop_unlock(loop_);
    if (status < 0) {
      done(ScreenError{std::string("pw_stream_connect: ") + std::strerror(-status), -status});
      return;
    }
    if (pw_thread_loop_start(loop_) < 0) {
      done(ScreenError{"pw_thread_loop_start: failed", 0});
      return;
    }
    if (auto error = sound_.start()) {
      done(*error);
      return;
    }
    done(std::nullopt);
  }

  void stop(std::function<void()> done) override {
    stopping_ = true;
    if (loop_) {
      pw_thread_loop_lock(loop_);
      if (stream_) pw_stream_disconnect(stream_);
      pw_thread_loop_unlock(loop_);
      pw_thread_loop_stop(loop_);
    }
    sound_.stop();
    if (!session_.empty()) {
      g_dbus_connection_call_sync(bus_, PORTAL, session_.c_str(), "org.freedesktop.portal.Session",
                                  "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
                                  nullptr);
    }
    // What the stream had already handed to the queue comes before done.
    queue_->async(std::move(done));
  }

 private:
  // Runs the portal's requests one after the other, on a thread of its own.
  void runPicker(const PickerEvents& events) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    std::string sender = g_dbus_connection_get_unique_name(bus_) + 1;
    for (auto& c : sender) {
      if (c == '.') c = '_';
    }
    int tokens = 0;
    const auto request = [&](const char* method,
                             auto&& parameters) -> std::variant<Answer, ScreenError> {
      const std::string token =
          "quorvel" + std::to_string(::getpid()) + "_" + std::to_string(++tokens);
      const std::string path = std::string(PORTAL_PATH) + "/request/" + sender + "/" + token;
      Answer answer;
      bool answered = false;
      struct Box {
        Answer* answer;
        bool* answered;
      } box{&answer, &answered};
      const guint subscription = g_dbus_connection_signal_subscribe(
          bus_, PORTAL, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
          G_DBUS_SIGNAL_FLAGS_NONE,
          [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
             GVariant* parameters, gpointer data) {
            auto* box = static_cast<Box*>(data);
            GVariant* results = nullptr;
            g_variant_get(parameters, "(u@a{sv})", &box->answer->code, &results);
            box->answer->results.reset(results);
            *box->answered = true;
          },
          &box, nullptr);
      GError* error = nullptr;
      Variant reply(g_dbus_connection_call_sync(bus_, PORTAL, PORTAL_PATH, SCREEN_CAST, method,
                                                parameters(token), G_VARIANT_TYPE("(o)"),
                                                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error));
      if (!reply) {
        g_dbus_connection_signal_unsubscribe(bus_, subscription);
        return fromGError(method, error);
      }
      while (!answered) g_main_context_iteration(context, TRUE);
      g_dbus_connection_signal_unsubscribe(bus_, subscription);
      return answer;
    };
    const auto outcome = [&]() -> std::optional<ScreenError> {
      auto created = request("CreateSession", [](const std::string& token) {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token",
                              g_variant_new_string(token.c_str()));
        g_variant_builder_add(&options, "{sv}", "session_handle_token",
                              g_variant_new_string(token.c_str()));
        return g_variant_new("(a{sv})", &options);
      });
      if (auto* error = std::get_if<ScreenError>(&created)) return *error;
      auto& session = std::get<Answer>(created);
      if (session.code != 0)
        return ScreenError{"CreateSession: response " + std::to_string(session.code), session.code};
      const gchar* handle = nullptr;
      g_variant_lookup(session.results.get(), "session_handle", "&s", &handle);
      session_ = handle ? handle : "";
      const guint32 types =
          sourceTypes_ & (MONITOR | WINDOW) ? sourceTypes_ & (MONITOR | WINDOW) : MONITOR;
      const guint32 cursor = cursorModes_ & CURSOR_EMBEDDED ? CURSOR_EMBEDDED : CURSOR_HIDDEN;
      auto selected = request("SelectSources", [&](const std::string& token) {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token",
                              g_variant_new_string(token.c_str()));
        g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(types));
        g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
        if (cursorModes_) {
          g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(cursor));
        }
        return g_variant_new("(oa{sv})", session_.c_str(), &options);
      });
      if (auto* error = std::get_if<ScreenError>(&selected)) return *error;
      if (std::get<Answer>(selected).code == RESPONSE_CANCELLED) return ScreenError{"", -1};
      if (std::get<Answer>(selected).code != 0) {
        return ScreenError{
            "SelectSources: response " + std::to_string(std::get<Answer>(selected).code), 2};
      }
      auto started = request("Start", [&](const std::string& token) {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token",
                              g_variant_new_string(token.c_str()));
        return g_variant_new("(osa{sv})", session_.c_str(), "", &options);
      });
      if (auto* error = std::get_if<ScreenError>(&started)) return *error;
      auto& answer = std::get<Answer>(started);
      if (answer.code == RESPONSE_CANCELLED) return ScreenError{"", -1};
      if (answer.code != 0) return ScreenError{"Start: response " + std::to_string(answer.code), 2};
      Variant streams(
          g_variant_lookup_value(answer.results.get(), "streams", G_VARIANT_TYPE("a(ua{sv})")));
      if (!streams || g_variant_n_children(streams.get()) == 0) {
        return ScreenError{"Start: no stream was chosen", 0};
      }
      Variant first(g_variant_get_child_value(streams.get(), 0));
      GVariant* properties = nullptr;
      g_variant_get(first.get(), "(u@a{sv})", &node_, &properties);
      Variant props(properties);
      gint32 width = 0;
      gint32 height = 0;
      g_variant_lookup(props.get(), "size", "(ii)", &width, &height);
      content_ = {static_cast<double>(width), static_cast<double>(height), 1.0};
      return std::nullopt;
    }();
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    if (!outcome) {
      events.chosen(content_);
    } else if (outcome->code == -1 && outcome->description.empty()) {
      events.cancelled();
    } else {
      events.failed(*outcome);
    }
  }

  void streamState(pw_stream_state state, const char* why) {
    if (state != PW_STREAM_STATE_ERROR || stopping_.exchange(true)) return;
    auto stopped = events_.stopped;
    const std::string message = std::string("PipeWire stream: ") + (why ? why : "error");
    std::thread([stopped, message] { stopped({message, 0}); }).detach();
  }

  void formatChanged(uint32_t id, const spa_pod* param) {
    if (!param || id != SPA_PARAM_Format) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    width_ = static_cast<int>(info.size.width);
    height_ = static_cast<int>(info.size.height);
  }

  void process() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (!buffer) return;
    const spa_data& data = buffer->buffer->datas[0];
    if (data.data && data.chunk->size > 0 && width_ > 0 && height_ > 0) {
      const auto* bytes = static_cast<const std::uint8_t*>(data.data) + data.chunk->offset;
      const int stride = data.chunk->stride > 0 ? data.chunk->stride : width_ * 4;
      const std::size_t length =
          static_cast<std::size_t>(stride) * static_cast<std::size_t>(height_);
      if (length <= data.chunk->size) {
        VideoFrame frame;
        frame.time = steadySeconds();
        frame.width = width_;
        frame.height = height_;
        frame.stride = stride;
        frame.pixels = std::make_shared<const std::vector<std::uint8_t>>(bytes, bytes + length);
        queue_->async([this, frame = std::move(frame)] { events_.video(frame); });
      }
    }
    pw_stream_queue_buffer(stream_, buffer);
  }

  GDBusConnection* bus_ = nullptr;
  guint32 sourceTypes_ = MONITOR;
  guint32 cursorModes_ = 0;
  std::thread pickThread_;
  std::string session_;
  guint32 node_ = 0;
  ScreenContent content_;
  TaskQueue* queue_ = nullptr;
  StreamEvents events_;
  StreamSettings settings_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook streamHook_{};
  std::atomic<int> width_ = 0;
  std::atomic<int> height_ = 0;
  std::atomic<bool> stopping_ = false;
  ContentSound sound_;
};

}  // namespace

std::unique_ptr<ScreenSource> makePortalScreenSource() { return std::make_unique<PortalSource>(); }

}  // namespace sonacap
