#include "server/task_queue.h"

#include <pthread.h>

#include <cstdlib>

namespace sonacap {

TaskQueue::~TaskQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TaskQueue::async(Task task) {
  after(std::chrono::steady_clock::duration::zero(), std::move(task));
}

void TaskQueue::after(std::chrono::steady_clock::duration delay, Task task) {
  {
    std::lock_guard lock(mutex_);
    entries_.push(Entry{std::chrono::steady_clock::now() + delay, nextOrder_++, std::move(task)});
  }
  wake_.notify_one();
}

void TaskQueue::startThread(const char* name) {
  thread_ = std::thread([this] { serve(); });
  pthread_setname_np(thread_.native_handle(), name);
}

void TaskQueue::runForever() {
  serve();
  std::abort();
}

void TaskQueue::serve() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (entries_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const auto due = entries_.top().due;
    if (due > std::chrono::steady_clock::now()) {
      wake_.wait_until(lock, due);
      continue;
    }
    Task task = std::move(const_cast<Entry&>(entries_.top()).task);
    entries_.pop();
    lock.unlock();
    task();
    lock.lock();
  }
}

void runInBackground(Task task) { std::thread(std::move(task)).detach(); }

}  // namespace sonacap
