#include "server/link.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "server/task_queue.h"

namespace sonacap {

bool Link::connect(const std::string& path) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd_ < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // 103 bytes and the terminating zero: the longest path that fits every platform's field.
  if (path.size() > 103) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool Link::writeAll(std::span<iovec> parts) {
  while (!parts.empty()) {
    const ssize_t written = ::writev(fd_, parts.data(), static_cast<int>(parts.size()));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    auto left = static_cast<std::size_t>(written);
    while (!parts.empty() && left >= parts.front().iov_len) {
      left -= parts.front().iov_len;
      parts = parts.subspan(1);
    }
    if (!parts.empty()) {
      parts.front().iov_base = static_cast<std::uint8_t*>(parts.front().iov_base) + left;
      parts.front().iov_len -= left;
    }
  }
  return true;
}

void Link::send(std::uint8_t type, std::span<const std::byte> bytes) {
  std::lock_guard guard(lock_);
  if (closed_ || bytes.size() > UINT32_MAX) return;
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::array<std::uint8_t, 5> header = {
      type, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
      static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
  // Header and payload in one call where the socket takes them: one system call per message.
  std::array<iovec, 2> parts = {iovec{header.data(), header.size()},
                                iovec{const_cast<std::byte*>(bytes.data()), bytes.size()}};
  if (writeAll(std::span(parts.data(), bytes.empty() ? 1 : 2))) return;
  closed_ = true;
  runInBackground(onBroken);
}

void Link::json(const nlohmann::json& object) {
  std::string text;
  try {
    text = object.dump();
  } catch (const nlohmann::json::exception&) {
    return;
  }
  send(EVENT_MESSAGE, std::as_bytes(std::span(text)));
}

void Link::watch(std::function<void()> onStop) {
  std::thread([this, onStop = std::move(onStop)] {
    for (;;) {
      char byte = 0;
      const ssize_t got = ::read(fd_, &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        closed_ = true;
        onStop();
        return;
      }
      if (byte == STOP_BYTE) onStop();
    }
  }).detach();
}

void Link::exitNow(int status) { ::_exit(status); }

}  // namespace sonacap
