#include "launcher/probe.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>

#include "common/text.h"

namespace quorvel::launcher {
namespace {

constexpr std::string_view kServiceMarker = "quorvel";
constexpr size_t kReadChunk = 1024;
constexpr size_t kReadLimit = 4096;

struct Socket {
  int fd;
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
};

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

std::optional<std::string> ping(std::int64_t port) {
  const Socket socket{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (socket.fd < 0) return std::nullopt;
  const timeval timeout{2, 0};
  ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::nullopt;
  }

  const std::string request =
      "GET /api/ping HTTP/1.0\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n";
  if (::send(socket.fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return std::string();
  }

  std::string received;
  char chunk[kReadChunk];
  while (received.size() < kReadLimit) {
    const ssize_t n = ::read(socket.fd, chunk, sizeof chunk);
    if (n <= 0) break;
    received.append(chunk, static_cast<size_t>(n));
  }
  return decodeUtf8Lossy(received);
}

Alive classify(const std::optional<std::string>& answer) {
  if (!answer) return Alive::no;
  return answer->find(kServiceMarker) != std::string::npos ? Alive::yes : Alive::other;
}

Alive serviceAlive(std::int64_t port) { return classify(ping(port)); }

std::optional<std::int64_t> pagesIn(const std::string& answer) {
  const size_t separator = answer.find("\r\n\r\n");
  if (separator == std::string::npos) return std::nullopt;
  const auto body = nlohmann::json::parse(answer.substr(separator + 4), nullptr, false);
  if (!body.is_object()) return std::nullopt;
  const auto pages = body.find("pages");
  if (pages == body.end()) return std::nullopt;
  if (pages->is_number_integer()) return pages->get<std::int64_t>();
  if (pages->is_number_float()) {
    const double value = pages->get<double>();
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 9.0e15) {
      return static_cast<std::int64_t>(value);
    }
  }
  return std::nullopt;
}

std::optional<std::int64_t> pagesConnected(std::int64_t port) {
  const auto answer = ping(port);
  if (!answer) return std::nullopt;
  return pagesIn(*answer);
}

std::optional<long> post(std::int64_t port, const std::string& path, const std::string& body) {
  static const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!curlReady) return std::nullopt;
  const std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());
  if (!curl) return std::nullopt;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
  const std::unique_ptr<curl_slist, CurlListDeleter> headers(
      curl_slist_append(nullptr, "Content-Type: application/json"));
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, 5000L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, discardBody);
  if (curl_easy_perform(curl.get()) != CURLE_OK) return std::nullopt;
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) return std::nullopt;
  return status;
}

}  // namespace quorvel::launcher
