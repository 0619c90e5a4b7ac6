#include "server/capture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>
#include <span>
#include <variant>

namespace sonacap {
namespace {

std::string newUUID() {
  static std::mutex mutex;
  static std::mt19937_64 random{std::random_device{}()};
  std::lock_guard lock(mutex);
  std::uint64_t high = random();
  std::uint64_t low = random();
  high = (high & ~0xF000ULL) | 0x4000ULL;            // version 4
  low = (low & ~(0xC0ULL << 56)) | (0x80ULL << 56);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%04X-%012llX",
                static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

TapError failed(const char* call, Status status) {
  return TapError{std::string(call) + " " + describe(status)};
}

}  // namespace

std::string describe(Status status) {
  std::string text = std::to_string(status);
  const auto bits = static_cast<std::uint32_t>(status);
  std::string code;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<unsigned char>(bits >> shift);
    if (byte < 0x20 || byte > 0x7E) return text;
    code += static_cast<char>(byte);
  }
  return text + " '" + code + "'";
}

std::optional<std::vector<float>> mixDown(std::uint32_t formatFlags, BufferList list) {
  if (list.empty() || list[0].data == nullptr) return std::nullopt;
  const bool nonInterleaved = (formatFlags & FORMAT_FLAG_IS_NON_INTERLEAVED) != 0;
  const std::size_t n = nonInterleaved ? list.size() : list[0].channels;
  const std::size_t perFrame = nonInterleaved ? 1 : n;
  const std::size_t samples = list[0].byteSize / 4;
  if (n < 1 || perFrame > samples) return std::nullopt;
  const std::size_t frames = samples / perFrame;
  const auto divisor = static_cast<float>(n);
  std::vector<float> mono(frames, 0.0f);
  if (nonInterleaved) {
    for (const Buffer& buffer : list) {
      if (buffer.data == nullptr) continue;
      const auto* in = static_cast<const float*>(buffer.data);
      const std::size_t count = std::min<std::size_t>(frames, buffer.byteSize / 4);
      for (std::size_t k = 0; k < count; ++k) mono[k] += in[k] / divisor;
    }
  } else {
    const auto* in = static_cast<const float*>(list[0].data);
    for (std::size_t i = 0; i < frames; ++i) {
      float sum = 0.0f;
      for (std::size_t c = 0; c < n; ++c) sum += in[i * n + c];
      mono[i] = sum / divisor;
    }
  }
  return mono;
}

std::optional<std::uint32_t> convertedCapacity(double inRate, std::size_t frames) {
  const double quotient = OUT_RATE * static_cast<double>(frames) / inRate;
  if (!std::isfinite(quotient) || quotient <= -1.0 || quotient >= 4294967296.0 - 64.0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(quotient) + 64;
}

Capture::Capture(Link& link, std::vector<std::string> bundles, AudioTap& tap, Exit exit)
    : link_(link), bundles_(std::move(bundles)), audio_(tap), exit_(std::move(exit)) {
  queue_.startThread("quorvel.sonacap");
}

std::optional<TapError> Capture::start() {
  TapDescription description;
  description.name = "quorvel";
  description.uuid = newUUID();
  description.isPrivate = true;
  description.muted = false;
  description.monoGlobal = true;
  if (audio_.canTapBundles() && !bundles_.empty()) {
    description.bundleIDs = bundles_;
    description.exclusive = false;
    description.processRestore = true;
  }

  const Made tap = audio_.createTap(description);
  tap_ = tap.id;
  if (tap.status != 0 || tap_ == 0) return failed("AudioHardwareCreateProcessTap", tap.status);

  const Status read = audio_.readFormat(tap_, format_);
  if (read != 0 || !(format_.sampleRate > 0) || format_.channelsPerFrame == 0) {
    return failed("kAudioTapPropertyFormat", read);
  }
  if (format_.formatID != FORMAT_LINEAR_PCM || (format_.formatFlags & FORMAT_FLAG_IS_FLOAT) == 0 ||
      format_.bitsPerChannel != 32) {
    return TapError{"unexpected tap format " + std::to_string(format_.formatID) + " flags " +
                    std::to_string(format_.formatFlags) + " bits " +
                    std::to_string(format_.bitsPerChannel)};
  }

  const Made device = audio_.createDevice(DeviceDescription{.name = "quorvel-tap",
                                                            .uid = newUUID(),
                                                            .isPrivate = true,
                                                            .stacked = false,
                                                            .tapAutoStart = true});
  device_ = device.id;
  if (device.status != 0 || device_ == 0) {
    return failed("AudioHardwareCreateAggregateDevice", device.status);
  }
  if (const Status attached = audio_.attachTap(device_, description.uuid); attached != 0) {
    return failed("kAudioAggregateDevicePropertyTapList", attached);
  }
  // The device may take a moment to show its input; go on either way.
  audio_.awaitInput(device_, std::chrono::milliseconds(1000));
  audio_.listenFormat(tap_, [this] { restart(); });

  monoRate_ = format_.sampleRate;
  if (format_.sampleRate == OUT_RATE) {
    converter_.reset();
  } else {
    // Sound at another rate than the server expects would be wrong, so this is fatal.
    auto made = Resampler::make(format_.sampleRate, OUT_RATE);
    if (auto* reason = std::get_if<std::string>(&made)) return TapError{"soxr_create " + *reason};
    converter_.emplace(std::move(std::get<Resampler>(made)));
  }

  const Made proc =
      audio_.createInputProc(device_, queue_, [this](BufferList list) { handle(list); });
  proc_ = proc.id;
  if (proc.status != 0 || proc_ == 0) {
    return failed("AudioDeviceCreateIOProcIDWithBlock", proc.status);
  }
  if (const Status started = audio_.startDevice(device_, proc_); started != 0) {
    return failed("AudioDeviceStart", started);
  }
  return std::nullopt;
}

nlohmann::json Capture::info() {
  return {{"rate", format_.sampleRate},
          {"channels", format_.channelsPerFrame},
          {"streams", audio_.inputStreams(device_).value_or(0)},
          {"only", bundles_}};
}

void Capture::restart() {
  queue_.async([this] {
    if (restarting_) return;
    restarting_ = true;
    queue_.after(REBUILD_DELAY, [this] { rebuild(); });
  });
}

void Capture::rebuild() {
  restarting_ = false;
  stop();
  if (const auto error = start()) {
    link_.json({{"event", "error"}, {"message", error->message}});
    exit_(1);
    return;
  }
  nlohmann::json event = info();
  event["event"] = "restarted";
  link_.json(event);
}

void Capture::stop() {
  if (device_ != 0) {
    if (proc_ != 0) {
      audio_.stopDevice(device_, proc_);
      audio_.destroyInputProc(device_, proc_);
    }
    audio_.destroyDevice(device_);
  }
  if (tap_ != 0) audio_.destroyTap(tap_);
  tap_ = 0;
  device_ = 0;
  proc_ = 0;
  converter_.reset();
}

void Capture::handle(BufferList list) {
  if (!monoRate_) return;
  const auto mono = mixDown(format_.formatFlags, list);
  if (!mono) return;
  if (!converter_) {
    link_.send(AUDIO_MESSAGE, std::as_bytes(std::span(*mono)));
    return;
  }
  const auto capacity = convertedCapacity(format_.sampleRate, mono->size());
  if (!capacity) return;
  std::vector<float> out(*capacity);
  const auto converted = converter_->process(*mono, out);
  if (!converted || *converted == 0) return;
  link_.send(AUDIO_MESSAGE, std::as_bytes(std::span(out.data(), *converted)));
}

}  // namespace sonacap
