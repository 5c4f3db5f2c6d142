#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/env/env.h"

namespace tavrin {
namespace {

class LinuxThread : public ThreadHandle {
 public:
  explicit LinuxThread(std::function<void()> body) : thread_(std::move(body)) {}
  ~LinuxThread() override { Join(); }
  void Join() override {
    std::call_once(joined_, [this] {
      if (thread_.joinable()) thread_.join();
    });
  }

 private:
  std::thread thread_;
  std::once_flag joined_;
};

class LinuxEnv : public Env {
 public:
  int64_t NowSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }

  int64_t NowMilliseconds() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  std::tm LocalNow() override {
    std::time_t t = std::time(nullptr);
    std::tm out{};
    localtime_r(&t, &out);
    return out;
  }

  SteadyTime SteadyNow() override { return std::chrono::steady_clock::now(); }

  void SleepFor(std::chrono::nanoseconds duration) override { std::this_thread::sleep_for(duration); }

  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 SteadyTime deadline) override {
    cv.wait_until(lock, deadline);
  }

  std::string CurrentDirectory() override {
    // getcwd with a growing buffer: folders deeper than any fixed buffer are
    // still taken whole.
    std::vector<char> buf(512);
    while (getcwd(buf.data(), buf.size()) == nullptr) {
      if (errno != ERANGE) return ".";
      buf.resize(buf.size() * 2);
    }
    return buf.data();
  }

  std::unique_ptr<ThreadHandle> StartThread(std::function<void()> body) override {
    return std::make_unique<LinuxThread>(std::move(body));
  }
};

}  // namespace

Env* Env::Default() {
  static LinuxEnv env;
  return &env;
}

}  // namespace tavrin
