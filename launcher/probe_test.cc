#include "launcher/probe.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "launcher/test_support.h"

namespace quorvel::launcher {
namespace {

using namespace std::chrono_literals;

// A loopback listener that serves each connection with the given behaviour on a thread.
class Peer {
 public:
  using Serve = std::function<void(int fd)>;

  explicit Peer(Serve serve) : serve_(std::move(serve)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      while (true) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0 || stopping_) {
          if (fd >= 0) ::close(fd);
          return;
        }
        serve_(fd);
        ::close(fd);
      }
    });
  }

  ~Peer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }

  std::int64_t port = 0;

 private:
  Serve serve_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Reads the request head, then writes answer and closes.
Peer::Serve answering(const std::string& answer) {
  return [answer](int fd) {
    char buffer[4096];
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return;
      request.append(buffer, static_cast<size_t>(n));
    }
    ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  };
}

TEST(Probe, NothingListening) {
  const std::int64_t port = testing::freePort();
  EXPECT_EQ(ping(port), std::nullopt);
  EXPECT_EQ(serviceAlive(port), Alive::no);
  EXPECT_EQ(pagesConnected(port), std::nullopt);
  EXPECT_EQ(post(port, "/api/quit"), std::nullopt);
}

TEST(Probe, ClassifiesAnswers) {
  struct Case {
    const char* name;
    std::string answer;
    Alive alive;
    std::optional<std::int64_t> pages;
  };
  const Case cases[] = {
      {"our server", "HTTP/1.1 200 OK\r\n\r\n{\"service\":\"quorvel\",\"pages\":2}", Alive::yes, 2},
      {"marker only in a header", "HTTP/1.1 200 OK\r\nX-App: quorvel\r\n\r\n{}", Alive::yes, {}},
      {"pages as a string",
       "HTTP/1.1 200 OK\r\n\r\n{\"quorvel\":1,\"pages\":\"2\"}",
       Alive::yes,
       {}},
      {"pages written as 3.0", "HTTP/1.0 200 OK\r\n\r\n{\"pages\":3.0,\"s\":\"quorvel\"}",
       Alive::yes, 3},
      {"no blank line", "HTTP/1.1 200 OK\r\n{\"quorvel\":1,\"pages\":2}", Alive::yes, {}},
      {"body not an object", "HTTP/1.1 200 OK\r\n\r\n[\"quorvel\"]", Alive::yes, {}},
      {"another program", "HTTP/1.1 200 OK\r\nServer: nginx\r\n\r\n{\"pages\":1}", Alive::other, 1},
      {"marker is case-sensitive", "HTTP/1.1 200 OK\r\n\r\nQuorvel", Alive::other, {}},
      {"nothing said", "", Alive::other, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(answering(c.answer));
    EXPECT_EQ(ping(peer.port), c.answer);
    EXPECT_EQ(serviceAlive(peer.port), c.alive);
    EXPECT_EQ(pagesConnected(peer.port), c.pages);
  }
}

TEST(Probe, InvalidUtf8BecomesReplacementCharacters) {
  Peer peer(answering("HTTP/1.0 200 OK\r\n\r\nquorvel\xFF\xFE"));
  EXPECT_EQ(ping(peer.port), "HTTP/1.0 200 OK\r\n\r\nquorvel\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Probe, SilentPeerEndsAfterTheTimeOut) {
  Peer peer([](int fd) {
    char buffer[256];
    ::read(fd, buffer, sizeof buffer);
    std::this_thread::sleep_for(3s);
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ping(peer.port), "");
  EXPECT_EQ(serviceAlive(peer.port), Alive::other);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 2s);
}

TEST(Probe, EndlessPeerIsReadUpToTheLimit) {
  std::atomic<bool> done{false};
  Peer peer([&](int fd) {
    const std::string chunk(10000, 'x');
    ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    while (!done) std::this_thread::sleep_for(10ms);
  });
  const auto started = std::chrono::steady_clock::now();
  const auto answer = ping(peer.port);
  ASSERT_TRUE(answer);
  EXPECT_GE(answer->size(), 4096u);
  EXPECT_LE(answer->size(), 5119u);
  // The limit ends the read, not the 2-second silence.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  done = true;
}

TEST(Post, ReturnsTheStatusOrNothingAfterFiveSeconds) {
  std::string received;
  Peer recording([&](int fd) {
    char buffer[4096];
    ssize_t n;
    while (received.find("{\"force\":true}") == std::string::npos &&
           (n = ::read(fd, buffer, sizeof buffer)) > 0) {
      received.append(buffer, static_cast<size_t>(n));
    }
    const std::string answer =
        "HTTP/1.1 409 Conflict\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  });
  EXPECT_EQ(post(recording.port, "/api/quit", R"({"force":true})"), 409);
  EXPECT_EQ(received.rfind("POST /api/quit HTTP/1.1\r\n", 0), 0u) << received;
  EXPECT_NE(received.find("Content-Type: application/json\r\n"), std::string::npos);

  Peer hanging([](int) { std::this_thread::sleep_for(6s); });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(post(hanging.port, "/api/quit"), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
}

}  // namespace
}  // namespace quorvel::launcher
