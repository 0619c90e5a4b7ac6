#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "server/task_queue.h"

namespace sonacap {

// A status code of the audio system: 0 is success.
using Status = std::int32_t;
// An object of the audio system (tap, device, input procedure); 0 means none.
using ObjectId = std::uint32_t;

inline constexpr std::uint32_t FORMAT_LINEAR_PCM = 0x6C70636D;  // "lpcm"
inline constexpr std::uint32_t FORMAT_FLAG_IS_FLOAT = 0x1;
inline constexpr std::uint32_t FORMAT_FLAG_IS_PACKED = 0x8;
inline constexpr std::uint32_t FORMAT_FLAG_IS_NON_INTERLEAVED = 0x20;

// The tapped sound's stream format.
struct StreamFormat {
  double sampleRate = 0;
  std::uint32_t formatID = 0;
  std::uint32_t formatFlags = 0;
  std::uint32_t channelsPerFrame = 0;
  std::uint32_t bitsPerChannel = 0;
};

// One buffer of a delivery; data is absent for a stretch the audio system lost.
struct Buffer {
  std::uint32_t channels = 0;
  std::uint32_t byteSize = 0;
  const void* data = nullptr;
};
using BufferList = std::span<const Buffer>;

struct TapDescription {
  std::string name;
  std::string uuid;  // names the tap when it is attached to a device
  bool isPrivate = false;
  bool muted = false;
  bool monoGlobal = false;  // all processes, mixed down to one channel
  std::vector<std::string> bundleIDs;
  bool exclusive = true;
  bool processRestore = false;
};

struct DeviceDescription {
  std::string name;
  std::string uid;
  bool isPrivate = false;
  bool stacked = false;
  bool tapAutoStart = false;
};

struct Made {
  Status status = 0;
  ObjectId id = 0;
};

// The audio system as the capture's set-up uses it: the steps of building a tap on the
// sound output, a device that records it, and its callback, and of taking them down again.
class AudioTap {
 public:
  virtual ~AudioTap() = default;

  // Whether a tap can be limited to the sound of given applications.
  virtual bool canTapBundles() const = 0;
  virtual Made createTap(const TapDescription& description) = 0;
  virtual Status readFormat(ObjectId tap, StreamFormat& format) = 0;
  virtual Made createDevice(const DeviceDescription& description) = 0;
  virtual Status attachTap(ObjectId device, const std::string& tapUUID) = 0;
  // Blocks until the device shows an input stream, or at most for limit.
  virtual void awaitInput(ObjectId device, std::chrono::milliseconds limit) = 0;
  // The device's input streams; absent when they cannot be read.
  virtual std::optional<std::uint32_t> inputStreams(ObjectId device) = 0;
  // Calls onChange on a background thread whenever the tap's format changes.
  virtual void listenFormat(ObjectId tap, std::function<void()> onChange) = 0;
  // Registers the callback that receives every delivery of the started device, always on queue.
  virtual Made createInputProc(ObjectId device, TaskQueue& queue,
                               std::function<void(BufferList)> onInput) = 0;
  virtual Status startDevice(ObjectId device, ObjectId proc) = 0;
  virtual Status stopDevice(ObjectId device, ObjectId proc) = 0;
  virtual Status destroyInputProc(ObjectId device, ObjectId proc) = 0;
  virtual Status destroyDevice(ObjectId device) = 0;
  virtual Status destroyTap(ObjectId tap) = 0;
  // Calls onChange on a background thread whenever the default output device changes.
  virtual void listenDefaultOutput(std::function<void()> onChange) = 0;
};

// The audio system of this machine.
std::unique_ptr<AudioTap> makeSystemAudioTap();

}  // namespace sonacap
