#ifndef TAVRIN_PLATFORM_WATCH_FAKE_FILE_WATCHER_H_
#define TAVRIN_PLATFORM_WATCH_FAKE_FILE_WATCHER_H_

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/watch/file_watcher.h"

namespace tavrin {

// Test double: a watcher whose signs of change the test scripts. Change
// gives the sign an event would, at the Env's steady time, and wakes as the
// Linux watcher does; ChangeUnseen is a change that only the comparison of
// stamps finds (a write by another machine). Changes of paths not watched
// are ignored.
class FakeFileWatcher : public FileWatcher {
 public:
  // `env` gives the time of each sign; it must outlive the watcher.
  explicit FakeFileWatcher(Env& env) : env_(env) {}

  // A sign of change of `path` now. Any thread; the wake function runs on
  // the caller's thread.
  void Change(const std::string& path) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!IsWatched(path)) return;
      auto it = std::find_if(pending_.begin(), pending_.end(),
                             [&path](const FileChange& c) { return c.path == path; });
      if (it != pending_.end()) {
        it->last_seen = env_.SteadyNow();
        return;
      }
      pending_.push_back({path, env_.SteadyNow()});
    }
    std::lock_guard<std::mutex> lock(wake_mu_);
    if (wake_) wake_();
  }

  // A change of `path` that gives no sign: the next TakeChanged that
  // compares stamps reports it, at the time of that call.
  void ChangeUnseen(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    if (IsWatched(path)) unseen_.insert(path);
  }

  std::vector<std::string> watched() const {
    std::lock_guard<std::mutex> lock(mu_);
    return watched_;
  }
  int comparisons() const {
    std::lock_guard<std::mutex> lock(mu_);
    return comparisons_;
  }

  void SetWake(std::function<void()> wake) override {
    std::lock_guard<std::mutex> lock(wake_mu_);
    wake_ = std::move(wake);
  }
  std::string Watch(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mu_);
    watched_.push_back(path);
    return "";
  }
  std::vector<FileChange> TakeChanged(bool compare_stamps) override {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<FileChange> changes;
    changes.swap(pending_);
    if (!compare_stamps) return changes;
    ++comparisons_;
    for (const std::string& path : unseen_) {
      if (std::none_of(changes.begin(), changes.end(), [&path](const FileChange& c) { return c.path == path; }))
        changes.push_back({path, env_.SteadyNow()});
    }
    unseen_.clear();
    return changes;
  }

 private:
  bool IsWatched(const std::string& path) const {
    return std::find(watched_.begin(), watched_.end(), path) != watched_.end();
  }

  Env& env_;
  mutable std::mutex mu_;
  std::vector<std::string> watched_;
  std::vector<FileChange> pending_;
  std::set<std::string> unseen_;
  std::mutex wake_mu_;  // guards wake_, held while it runs
  std::function<void()> wake_;
  int comparisons_ = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WATCH_FAKE_FILE_WATCHER_H_
