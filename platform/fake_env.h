#ifndef TAVRIN_PLATFORM_FAKE_ENV_H_
#define TAVRIN_PLATFORM_FAKE_ENV_H_

#include <atomic>
#include <mutex>
#include <string>

#include "platform/env.h"

namespace tavrin {

// Test double: a clock that moves only when the test moves it, a fixed
// current folder, and threads that run inline inside StartThread, so a test
// sees every effect of a run as soon as it was started.
class FakeEnv : public Env {
 public:
  explicit FakeEnv(int64_t now = 1709647629, std::string cwd = "/tmp")
      : now_(now), cwd_(std::move(cwd)) {}

  void SetNow(int64_t now) { now_ = now; }
  void Advance(int64_t seconds) { now_ += seconds; }
  int threads_started() const { return threads_started_; }

  int64_t NowSeconds() override { return now_; }
  std::tm LocalNow() override {
    std::time_t t = static_cast<std::time_t>(now_.load());
    std::tm out{};
    gmtime_r(&t, &out);  // the fake's "local" zone is UTC, so tests are stable
    return out;
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
  std::atomic<int64_t> now_;
  std::string cwd_;
  int threads_started_ = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_FAKE_ENV_H_
