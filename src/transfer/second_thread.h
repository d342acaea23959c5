#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace quillmere {

// The batch's one extra thread, started once and fed one job at a time: its share of the pairs,
// or the second of a lone large pair's two reads. A batch never runs on more than two threads,
// and never pays for starting a thread per pair. When no thread can be started (process or
// memory limits), `available` is false and everything runs on the batch's own thread.
class SecondThread {
 public:
  SecondThread() {
    try {
      m_thread = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
      // One thread can do the batch; it is only slower.
    }
  }
  SecondThread(const SecondThread&) = delete;
  SecondThread& operator=(const SecondThread&) = delete;
  ~SecondThread() {
    {
      const std::lock_guard lock(m_mutex);
      m_closing = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) m_thread.join();
  }

  bool available() const { return m_thread.joinable(); }

  // Hands `job` over; its result or failure arrives through the future. The caller waits for one
  // job's future before it submits the next.
  template <class Job>
  auto submit(Job job) {
    using Result = decltype(job());
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(job));
    auto result = task->get_future();
    {
      const std::lock_guard lock(m_mutex);
      m_job = [task] { (*task)(); };
    }
    m_wake.notify_one();
    return result;
  }

 private:
  void serve() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_closing || m_job; });
        if (!m_job) return;
        job = std::exchange(m_job, nullptr);
      }
      job();  // a packaged task: whatever it throws goes into its future
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::function<void()> m_job;
  bool m_closing = false;
  std::thread m_thread;
};

// Runs `first` and `second` and returns both results. With `helper`, `second` runs on the second
// thread meanwhile; either way a failure of `first` is thrown before a failure of `second`, as if
// they had run one after the other, and `second` is never abandoned while it still reads a file.
template <class First, class Second>
auto bothInOrder(SecondThread* helper, First first, Second second) {
  if (!helper || !helper->available()) {
    auto a = first();
    return std::pair(std::move(a), second());
  }
  auto pending = helper->submit(second);
  std::exception_ptr firstFailure;
  std::optional<decltype(first())> a;
  try {
    a.emplace(first());
  } catch (...) {
    firstFailure = std::current_exception();
  }
  pending.wait();
  if (firstFailure) std::rethrow_exception(firstFailure);
  return std::pair(std::move(*a), pending.get());
}

}  // namespace quillmere
