#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include <sys/uio.h>

#include <nlohmann/json.hpp>

namespace sonacap {

inline constexpr std::uint8_t EVENT_MESSAGE = 0x4A;  // "J"
inline constexpr std::uint8_t AUDIO_MESSAGE = 0x41;  // "A"
inline constexpr char STOP_BYTE = 0x53;              // "S"

// The one connection to the server: typed, length-prefixed messages out, stop bytes in.
// The descriptor is never closed; it lives until the process ends.
class Link {
 public:
  Link() = default;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Connects to the Unix-domain socket at path; false when the socket cannot be made, the
  // path is longer than 103 bytes, or nobody listens there.
  [[nodiscard]] bool connect(const std::string& path);

  // Sends one message: type byte, 32-bit little-endian length, payload. Safe from any thread;
  // whole messages never interleave. Dropped silently once the link is closed, and when the
  // payload is too long for the length field.
  void send(std::uint8_t type, std::span<const std::byte> bytes);

  // Sends an event message with the compact JSON text of object; nothing when it cannot be
  // serialised (invalid UTF-8 in a string, for example).
  void json(const nlohmann::json& object);

  // Reads the socket on a background thread, calling onStop for every stop byte and once more
  // at end of stream or a read error, after which the link is closed. Called once.
  void watch(std::function<void()> onStop);

  // Runs on a background thread, at most once, after the first failed write. Assign before the
  // link is used; the default exits the process with status 0.
  std::function<void()> onBroken = [] { exitNow(0); };

  bool closed() const { return closed_.load(); }
  int fd() const { return fd_; }

  // Ends the process at once, without running destructors that other threads may still need.
  [[noreturn]] static void exitNow(int status);

 private:
  // Writes all parts in order, retrying after signals; false on a write error or a write of
  // nothing.
  bool writeAll(std::span<iovec> parts);

  int fd_ = -1;
  std::mutex lock_;
  std::atomic<bool> closed_ = false;
};

}  // namespace sonacap
