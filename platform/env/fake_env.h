#ifndef TAVRIN_PLATFORM_ENV_FAKE_ENV_H_
#define TAVRIN_PLATFORM_ENV_FAKE_ENV_H_

#include <atomic>
#include <string>

#include "platform/env/env.h"

namespace tavrin {

// Test double: one clock in milliseconds that moves only when the test moves
// it or a wait or sleep of the code under test passes (a wait returns at
// once, its deadline reached), a fixed current folder, and threads that run
// inline inside StartThread, so a test sees every effect of a run as soon as
// it was started. The local time zone of the fake is UTC.
class FakeEnv : public Env {
 public:
  explicit FakeEnv(int64_t now_seconds = 1709647629, std::string cwd = "/tmp")
      : now_ms_(now_seconds * 1000), cwd_(std::move(cwd)) {}

  void SetNow(int64_t seconds) { now_ms_ = seconds * 1000; }
  void SetNowMs(int64_t ms) { now_ms_ = ms; }
  void Advance(int64_t seconds) { now_ms_ += seconds * 1000; }
  void AdvanceMs(int64_t ms) { now_ms_ += ms; }
  int64_t now_ms() const { return now_ms_; }
  int threads_started() const { return threads_started_; }
  int waits() const { return waits_; }

  int64_t NowSeconds() override { return now_ms_ / 1000; }
  int64_t NowMilliseconds() override { return now_ms_; }
  std::tm LocalNow() override {
    std::time_t t = static_cast<std::time_t>(NowSeconds());
    std::tm out{};
    gmtime_r(&t, &out);
    return out;
  }
  SteadyTime SteadyNow() override { return SteadyTime(std::chrono::milliseconds(now_ms_.load())); }
  void SleepFor(std::chrono::nanoseconds duration) override {
    ++waits_;
    now_ms_ += std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  }
  void WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>&, SteadyTime deadline) override {
    ++waits_;
    const int64_t due = std::chrono::ceil<std::chrono::milliseconds>(deadline.time_since_epoch()).count();
    int64_t now = now_ms_.load();
    while (due > now && !now_ms_.compare_exchange_weak(now, due)) {
    }
  }
  std::string CurrentDirectory() override { return cwd_; }
  std::unique_ptr<ThreadHandle> StartThread(std::function<void()> body) override {
    struct Done : ThreadHandle {
      void Join() override {}
    };
    ++threads_started_;
    body();
    return std::make_unique<Done>();
  }

 private:
  std::atomic<int64_t> now_ms_;
  std::string cwd_;
  std::atomic<int> threads_started_{0};
  std::atomic<int> waits_{0};
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_ENV_FAKE_ENV_H_
