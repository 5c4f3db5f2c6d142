#ifndef TAVRIN_PLATFORM_ENV_ENV_H_
#define TAVRIN_PLATFORM_ENV_ENV_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tavrin {

// A thread started by Env::StartThread. Destroying a handle that was not
// joined joins it, so a thread never outlives what it borrows.
class ThreadHandle {
 public:
  virtual ~ThreadHandle() = default;
  // Blocks until the thread has ended. Safe to call more than once.
  virtual void Join() = 0;
};

// The process's view of the outside world that is not a file format or a
// database: the clocks, waiting, the current folder and threads. One object
// serves the whole program; the Linux one is Env::Default(), tests use
// FakeEnv, whose time moves only when the test (or a wait) moves it. Every
// clock read of the program goes through it, and so does every wait whose
// length decides something (a deadline, a timer, a pause); a wait for a
// descriptor or another thread that only wakes now and then to look for a
// stop request or to try again keeps its own short interval.
// All operations are thread-safe.
class Env {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;

  virtual ~Env() = default;

  // Current time in whole seconds since 1970-01-01 00:00:00 UTC.
  virtual int64_t NowSeconds() = 0;

  // The same clock in milliseconds, for waits that end when a second of it
  // begins.
  virtual int64_t NowMilliseconds() = 0;

  // Current local calendar time (with the seconds of NowSeconds()).
  virtual std::tm LocalNow() = 0;

  // A clock that never goes back, for timers and deadlines.
  virtual SteadyTime SteadyNow() = 0;

  // Blocks the calling thread for `duration`.
  virtual void SleepFor(std::chrono::nanoseconds duration) = 0;

  // Waits on `cv` (with `lock` held, as condition_variable::wait_until does)
  // until it is notified or SteadyNow() reaches `deadline`. May return early
  // for no reason, so callers look again at what they wait for.
  virtual void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         SteadyTime deadline) = 0;

  // The process's current directory, as the system returns it.
  virtual std::string CurrentDirectory() = 0;

  // Starts `body` on a new thread at once. The returned handle joins it.
  virtual std::unique_ptr<ThreadHandle> StartThread(std::function<void()> body) = 0;

  // The Linux environment. Never null; lives for the whole process.
  static Env* Default();
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_ENV_ENV_H_
