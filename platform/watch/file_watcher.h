#ifndef TAVRIN_PLATFORM_WATCH_FILE_WATCHER_H_
#define TAVRIN_PLATFORM_WATCH_FILE_WATCHER_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/env/env.h"

namespace tavrin {

// A sign that a watched file may have changed.
struct FileChange {
  std::string path;           // as given to FileWatcher::Watch
  Env::SteadyTime last_seen;  // when the last sign of it came, on the Env's steady clock
};

// Tells which files may have changed, so that a loop that sleeps between
// decisions runs what depends on them soon after, without looking at them
// more often than it wakes anyway. A sign is not proof: a caller that must
// know compares the file's FileStamp itself.
//
// Thread-safe. The wake function runs on the watcher's own thread.
class FileWatcher {
 public:
  virtual ~FileWatcher() = default;

  // `wake` (may be empty) is called when a watched file shows a sign of
  // change and none was waiting since the last TakeChanged: at most once
  // between two calls of TakeChanged, however many writes come. Once
  // SetWake returns, the previous function is neither running nor called
  // again.
  virtual void SetWake(std::function<void()> wake) = 0;

  // Watches the file `path` from now on; its folder may not exist yet.
  // Returns an empty text, or why only the comparison of stamps of
  // TakeChanged watches it (no events: the kernel's watches are used up,
  // say).
  virtual std::string Watch(const std::string& path) = 0;

  // The watched files that showed a sign of change since the previous call,
  // each once. With `compare_stamps` also those whose FileStamp (a missing
  // file included) differs from the one seen before, the only sign of a
  // write that another machine made to a network share; a caller compares
  // about once a second.
  virtual std::vector<FileChange> TakeChanged(bool compare_stamps) = 0;
};

// The Linux watcher: inotify on the folder of each watched file, so that a
// write to the file, its removal and a file renamed onto it all count, and
// folders that are missing, or removed later, are watched again when they
// appear. A file reached through a symbolic link into another folder is
// watched in the link's folder: a write to its target is found by the
// comparison of stamps. A thread of `env` (which must outlive the watcher),
// started at the first Watch, waits for the events; it wakes for nothing
// else.
std::unique_ptr<FileWatcher> NewInotifyWatcher(Env& env);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WATCH_FILE_WATCHER_H_
