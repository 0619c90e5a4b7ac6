#include "server/link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "server/test_support.h"

namespace sonacap {
namespace {

using namespace sonacap::testing;

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_FALSE(folder.path().empty());
    ASSERT_TRUE(link.connect(path));
    ASSERT_TRUE(server.accept());
  }

  TempFolder folder;
  std::string path = folder.path() + "/link.sock";
  TestServer server{path};
  Link link;
};

std::vector<std::byte> bytesOf(const std::string& text) {
  const auto* data = reinterpret_cast<const std::byte*>(text.data());
  return {data, data + text.size()};
}

TEST_F(LinkTest, FramesMessagesBackToBack) {
  link.send(AUDIO_MESSAGE, {});
  const std::vector<float> samples(480, 0.25f);
  link.send(AUDIO_MESSAGE, std::as_bytes(std::span(samples)));
  link.json({{"event", "hello"}, {"pid", 42}});

  char header[10];
  ASSERT_EQ(::read(server.connection(), header, 10), 10);
  EXPECT_EQ(std::string(header, 10), std::string("A\0\0\0\0A\x80\x07\0\0", 10));
  std::string payload;
  while (payload.size() < 1920) {
    char chunk[1920];
    const ssize_t got = ::read(server.connection(), chunk, 1920 - payload.size());
    ASSERT_GT(got, 0);
    payload.append(chunk, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(samplesOf(payload), samples);
  const auto event = server.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->type, EVENT_MESSAGE);
  EXPECT_EQ(event->payload, R"({"event":"hello","pid":42})");
}

TEST_F(LinkTest, EventThatCannotBeSerialisedIsDropped) {
  link.json({{"event", "error"}, {"message", "\xFF\xFE"}});
  link.json({{"event", "started"}, {"only", {"a", "b"}}});
  const auto event = server.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->payload, R"({"event":"started","only":["a","b"]})");
  EXPECT_FALSE(link.closed());
}

TEST_F(LinkTest, MessagesOfConcurrentSendersNeverInterleave) {
  constexpr int SENDERS = 4;
  constexpr int MESSAGES = 300;
  std::vector<std::thread> senders;
  for (int t = 0; t < SENDERS; ++t) {
    senders.emplace_back([this, t] {
      for (int i = 0; i < MESSAGES; ++i) {
        // Sizes beyond the socket's buffer make the writes partial.
        const std::string payload(static_cast<std::size_t>(1 + (i * 7919) % 300000),
                                  static_cast<char>('a' + t));
        link.send(AUDIO_MESSAGE, bytesOf(payload));
      }
    });
  }
  int counts[SENDERS] = {};
  for (int m = 0; m < SENDERS * MESSAGES; ++m) {
    const auto message = server.next();
    ASSERT_TRUE(message) << "message " << m;
    ASSERT_EQ(message->type, AUDIO_MESSAGE);
    const char owner = message->payload[0];
    ASSERT_EQ(message->payload.find_first_not_of(owner), std::string::npos) << "message " << m;
    ++counts[owner - 'a'];
  }
  for (auto& sender : senders) sender.join();
  for (const int count : counts) EXPECT_EQ(count, MESSAGES);
}

TEST_F(LinkTest, StopBytesAndEndOfStream) {
  std::mutex mutex;
  std::condition_variable changed;
  int stops = 0;
  link.watch([&] {
    std::lock_guard lock(mutex);
    ++stops;
    changed.notify_all();
  });
  auto waitFor = [&](int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return stops >= count; });
  };

  server.sendBytes("x");
  server.sendBytes("SS");
  ASSERT_TRUE(waitFor(2));
  server.sendBytes("q");
  link.json({{"event", "hello"}});
  ASSERT_TRUE(server.next());  // the watch has read "q" or will; neither stops nor closes
  EXPECT_FALSE(link.closed());

  server.shutdownWriting();
  ASSERT_TRUE(waitFor(3));
  EXPECT_TRUE(link.closed());
  link.json({{"event", "hello"}});
  link.send(AUDIO_MESSAGE, {});
  EXPECT_FALSE(server.next(200ms));
  std::lock_guard lock(mutex);
  EXPECT_EQ(stops, 3);
}

TEST_F(LinkTest, BrokenLinkIsReportedOnceWhileManyThreadsSend) {
  std::mutex mutex;
  std::condition_variable changed;
  int broken = 0;
  link.onBroken = [&] {
    std::lock_guard lock(mutex);
    ++broken;
    changed.notify_all();
  };
  server.close();
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([this] {
      const std::string payload(4096, 'x');
      for (int i = 0; i < 200; ++i) link.send(AUDIO_MESSAGE, bytesOf(payload));
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_TRUE(link.closed());
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return broken > 0; }));
  lock.unlock();
  std::this_thread::sleep_for(100ms);  // room for a second report, which must not come
  lock.lock();
  EXPECT_EQ(broken, 1);
}

TEST(LinkConnect, PathOf103BytesAtMost) {
  TempFolder folder;
  for (const std::size_t length : {std::size_t{103}, std::size_t{104}}) {
    SCOPED_TRACE(length);
    std::string path = folder.path() + "/";
    path += std::string(length - path.size() - 5, 'p') + ".sock";
    ASSERT_EQ(path.size(), length);
    TestServer server(path);
    Link link;
    EXPECT_EQ(link.connect(path), length == 103);
    EXPECT_EQ(server.accept(length == 103 ? 10s : 100ms), length == 103);
  }
}

TEST(LinkConnect, NobodyListening) {
  TempFolder folder;
  Link link;
  EXPECT_FALSE(link.connect(folder.path() + "/none.sock"));
}

}  // namespace
}  // namespace sonacap
