#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/fs/fd.h"
#include "platform/fs/file_stamp.h"
#include "platform/fs/paths.h"
#include "platform/watch/file_watcher.h"

namespace tavrin {
namespace {

// Everything that changes a file of a folder (written, closed after a write,
// touched, created, removed, renamed away or onto it) or the folder itself.
constexpr uint32_t kFolderEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                   IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

class InotifyWatcher : public FileWatcher {
 public:
  explicit InotifyWatcher(Env& env) : env_(env) {}

  ~InotifyWatcher() override {
    if (!thread_) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_.get(), &one, sizeof one);
    thread_->Join();
  }

  void SetWake(std::function<void()> wake) override {
    std::lock_guard<std::mutex> lock(wake_mu_);
    wake_ = std::move(wake);
  }

  std::string Watch(const std::string& path) override {
    Watched watched{path, fs::DirName(path), fs::BaseName(path), fs::StampOfPath(path)};
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_) StartEvents();
    const int error = inotify_.valid() ? AddFolderWatch(watched) : init_error_;
    watched_.push_back(std::move(watched));
    // A missing folder is watched once it appears.
    if (error == 0 || error == ENOENT) return "";
    return "cannot watch the folder " + watched_.back().folder + " for changes: " + strerrordesc_np(error);
  }

  std::vector<FileChange> TakeChanged(bool compare_stamps) override {
    std::vector<std::string> paths;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const Watched& w : watched_) paths.push_back(w.path);
    }
    // stat outside the lock: on a network share it may take a while, and the
    // event thread must not wait for it.
    std::vector<std::optional<fs::FileStamp>> stamps;
    for (const std::string& path : paths) stamps.push_back(fs::StampOfPath(path));
    const Env::SteadyTime now = env_.SteadyNow();
    std::vector<FileChange> changes;
    std::lock_guard<std::mutex> lock(mu_);
    // Watch only appends, so the first paths.size() entries are those.
    for (size_t i = 0; i < paths.size(); ++i) {
      Watched& w = watched_[i];
      if (compare_stamps && w.wd < 0 && inotify_.valid()) AddFolderWatch(w);
      if (w.flagged) {
        changes.push_back({w.path, w.last_seen});
      } else if (compare_stamps && stamps[i] != w.stamp) {
        changes.push_back({w.path, now});
      } else {
        continue;
      }
      // The stamp of the version the caller now knows of, so that a change
      // already told by an event is not told again by the next comparison.
      w.stamp = stamps[i];
      w.flagged = false;
    }
    return changes;
  }

 private:
  struct Watched {
    std::string path, folder, name;
    std::optional<fs::FileStamp> stamp;
    int wd = -1;  // the inotify watch of the folder; -1: none (yet)
    bool flagged = false;
    Env::SteadyTime last_seen{};
  };

  // Starts the instance and the thread that waits for its events, at the
  // first watch: a program that watches nothing has neither. Caller holds
  // mu_.
  void StartEvents() {
    started_ = true;
    inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.valid()) {
      init_error_ = errno;
      return;
    }
    stop_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_.valid()) {
      init_error_ = errno;
      inotify_.Reset();
      return;
    }
    thread_ = env_.StartThread([this] { Loop(); });
  }

  // Adds the watch of the folder of `w` (the kernel gives one folder one
  // watch, whoever asks). Returns 0 or the errno value. Caller holds mu_.
  int AddFolderWatch(Watched& w) {
    const int wd = inotify_add_watch(inotify_.get(), w.folder.c_str(), kFolderEvents);
    if (wd < 0) return errno;
    w.wd = wd;
    return 0;
  }

  void Loop() {
    pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (ReadEvents()) {
        std::lock_guard<std::mutex> lock(wake_mu_);
        if (wake_) wake_();
      }
    }
  }

  // Reads the events that are waiting; true when a watched file that had no
  // sign waiting shows one now.
  bool ReadEvents() {
    alignas(inotify_event) char buf[16 * 1024];
    bool woke = false;
    for (;;) {
      const ssize_t n = read(inotify_.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return woke;
      const Env::SteadyTime now = env_.SteadyNow();
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t at = 0; at + sizeof(inotify_event) <= static_cast<size_t>(n);) {
        inotify_event event;
        std::memcpy(&event, buf + at, sizeof event);
        const char* name_start = buf + at + sizeof event;
        const std::string name(name_start, strnlen(name_start, event.len));
        at += sizeof event + event.len;
        for (Watched& w : watched_) {
          // A lost queue may have held anything; an event of the folder
          // itself (removed, renamed, unmounted) concerns all its files.
          const bool concerns = (event.mask & IN_Q_OVERFLOW) != 0 ||
                                (w.wd == event.wd && (event.len == 0 || name == w.name));
          if (!concerns) continue;
          if (event.mask & IN_IGNORED) w.wd = -1;
          woke = woke || !w.flagged;
          w.flagged = true;
          w.last_seen = now;
        }
      }
    }
  }

  Env& env_;
  fs::UniqueFd inotify_;
  fs::UniqueFd stop_;  // readable: the thread ends
  std::mutex mu_;  // guards watched_, started_, init_error_ and the start of the rest
  bool started_ = false;
  int init_error_ = 0;
  std::vector<Watched> watched_;
  std::mutex wake_mu_;  // guards wake_, held while it runs
  std::function<void()> wake_;
  std::unique_ptr<ThreadHandle> thread_;
};

}  // namespace

std::unique_ptr<FileWatcher> NewInotifyWatcher(Env& env) { return std::make_unique<InotifyWatcher>(env); }

}  // namespace tavrin
