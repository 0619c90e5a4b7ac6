#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace sonacap {

using Task = std::function<void()>;

// A serial queue: tasks run one at a time, in the order of their due times (ties in the order
// they were queued), on one thread that sleeps while nothing is due.
class TaskQueue {
 public:
  TaskQueue() = default;
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;
  ~TaskQueue();

  void async(Task task);
  void after(std::chrono::steady_clock::duration delay, Task task);

  // Runs the queue on a thread of its own, named name, until the queue is destroyed.
  void startThread(const char* name);
  // Runs the queue on the calling thread; never returns.
  [[noreturn]] void runForever();

 private:
  struct Entry {
    std::chrono::steady_clock::time_point due;
    std::uint64_t order;
    Task task;
    bool operator>(const Entry& other) const {
      return due != other.due ? due > other.due : order > other.order;
    }
  };

  // Runs due tasks until the destructor asks it to stop.
  void serve();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> entries_;
  std::uint64_t nextOrder_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

// The global concurrent queue: runs the task on a new detached thread.
void runInBackground(Task task);

}  // namespace sonacap
