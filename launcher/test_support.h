#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/testing/temp_dir.h"
#include "launcher/desktop.h"
#include "launcher/launcher.h"

namespace quorvel::launcher::testing {

// A desktop whose event loop the test drives: it records what the launcher asks of it and
// answers alerts from a script (or with their safe answer when the script is empty).
class TestDesktop : public Desktop {
 public:
  using Clock = std::chrono::steady_clock;

  void post(Task task) override {
    std::lock_guard lock(mutex_);
    if (exited_) return;
    queue_.emplace_back(Clock::now(), std::move(task));
    ready_.notify_all();
  }

  void postAfter(double seconds, Task task) override {
    std::lock_guard lock(mutex_);
    if (exited_) return;
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    timers_.emplace(due, std::move(task));
    ready_.notify_all();
  }

  int run() override { return runFor(std::chrono::seconds(60)).value_or(-1); }

  // Runs the loop until exit is called or timeout passes; the exit status, if any.
  std::optional<int> runFor(Clock::duration timeout) {
    return runUntil([] { return false; }, timeout);
  }

  // Runs the loop until done() holds (checked between tasks), exit, or timeout.
  template <typename Done>
  std::optional<int> runUntil(Done done, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (!exited_ && Clock::now() < deadline) {
      lock.unlock();
      if (done()) return std::nullopt;
      lock.lock();
      Task task;
      if (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
        task = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
      } else if (!queue_.empty()) {
        task = std::move(queue_.front().second);
        queue_.pop_front();
      } else {
        auto wake = deadline;
        if (!timers_.empty()) wake = std::min(wake, timers_.begin()->first);
        ready_.wait_until(lock, std::min(wake, Clock::now() + std::chrono::milliseconds(50)));
        continue;
      }
      lock.unlock();
      task();
      lock.lock();
    }
    return exited_ ? std::optional<int>(status_) : std::nullopt;
  }

  void exit(int status) override {
    std::lock_guard lock(mutex_);
    exited_ = true;
    status_ = status;
    queue_.clear();
    timers_.clear();
  }

  void installMenu(const Menu& menu) override { this->menu = menu; }
  void activate() override { ++activations; }
  bool canAsk() override { return askable; }

  std::optional<int> alert(const Alert& alert) override {
    alerts.push_back(alert);
    if (answers.empty()) return alert.safeAnswer;
    const auto answer = answers.front();
    answers.pop_front();
    if (beforeAnswer) beforeAnswer(alerts.size());
    return answer;
  }

  void openUrl(const std::string& url) override {
    std::lock_guard lock(mutex_);
    openedUrls.push_back(url);
  }

  size_t openedCount() {
    std::lock_guard lock(mutex_);
    return openedUrls.size();
  }

  Menu menu;
  int activations = 0;
  bool askable = true;
  std::vector<Alert> alerts;
  std::deque<std::optional<int>> answers;
  std::function<void(size_t)> beforeAnswer;  // runs with the alert's number, before it answers
  std::vector<std::string> openedUrls;

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<Clock::time_point, Task>> queue_;
  std::multimap<Clock::time_point, Task> timers_;
  bool exited_ = false;
  int status_ = 0;
};

// A port that nothing listened on a moment ago.
inline std::int64_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

using quorvel::testing::TempDir;

// An application bundle whose bin/node is a bash script with the given body.
inline void makeBundle(const std::string& bundleDir, const std::string& nodeScript) {
  namespace fs = std::filesystem;
  const std::string resources = joinPath(bundleDir, "Contents/Resources");
  fs::create_directories(joinPath(resources, "bin"));
  fs::create_directories(joinPath(resources, "app/server"));
  fs::create_directories(joinPath(resources, "yt-dlp"));
  (void)writeFile(joinPath(resources, "app/server/index.js"), "");
  const std::string node = joinPath(resources, "bin/node");
  (void)writeFile(node, "#!/bin/bash\n" + nodeScript + "\n");
  ::chmod(node.c_str(), 0755);
}

}  // namespace quorvel::launcher::testing
