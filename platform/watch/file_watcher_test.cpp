#include "platform/watch/file_watcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>

#include "platform/fs/fs_test_support.h"

namespace tavrin {
namespace {

using test::ScratchDir;
using test::WriteWholeFile;

// A Linux watcher over a real folder, and the wakes it gave.
class Watching {
 public:
  Watching() : watcher_(NewInotifyWatcher(*Env::Default())) {
    watcher_->SetWake([this] {
      std::lock_guard<std::mutex> lock(mu_);
      ++wakes_;
      cv_.notify_all();
    });
  }
  ~Watching() { watcher_->SetWake({}); }

  FileWatcher& watcher() { return *watcher_; }

  // Waits for the first wake; false when none came within 10 s (a guard
  // against hanging the test, not a measure of anything).
  bool WaitForWake() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return wakes_ > 0; });
  }

  std::vector<std::string> Changed(bool compare_stamps) {
    std::vector<std::string> paths;
    for (const FileChange& c : watcher_->TakeChanged(compare_stamps)) paths.push_back(c.path);
    return paths;
  }

 private:
  std::unique_ptr<FileWatcher> watcher_;
  std::mutex mu_;
  std::condition_variable cv_;
  int wakes_ = 0;
};

// Whatever happens to the file, a write in place, a file renamed onto it as
// editors and copy tools save, its removal or its creation, is told by an
// event: the watcher wakes, and the file is among the changes, seen after the
// change began.
TEST(InotifyWatcherTest, EveryWayTheFileChangesWakesTheWatcher) {
  struct Case {
    const char* what;
    bool exists_before;
    std::function<void(const ScratchDir&)> change;
  };
  const std::vector<Case> cases = {
      {"written in place", true,
       [](const ScratchDir& d) { ASSERT_EQ(truncate((d / "Vesk.mdb").c_str(), 4096), 0); }},
      {"replaced by a rename", true,
       [](const ScratchDir& d) { ASSERT_EQ(std::rename((d / "next.mdb").c_str(), (d / "Vesk.mdb").c_str()), 0); }},
      {"removed", true, [](const ScratchDir& d) { ASSERT_EQ(unlink((d / "Vesk.mdb").c_str()), 0); }},
      {"created", false, [](const ScratchDir& d) { WriteWholeFile(d / "Vesk.mdb", "new"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    if (c.exists_before) WriteWholeFile(dir / "Vesk.mdb", "old");
    WriteWholeFile(dir / "next.mdb", "next");
    Watching w;
    EXPECT_EQ(w.watcher().Watch(dir / "Vesk.mdb"), "");
    const Env::SteadyTime before = Env::Default()->SteadyNow();
    c.change(dir);
    ASSERT_TRUE(w.WaitForWake());
    const std::vector<FileChange> changes = w.watcher().TakeChanged(false);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].path, dir / "Vesk.mdb");
    EXPECT_GE(changes[0].last_seen, before);
  }
}

// Other files of the folder (the report's own output beside its source)
// neither wake the watcher nor count.
TEST(InotifyWatcherTest, OtherFilesOfTheFolderDoNotWakeIt) {
  ScratchDir dir;
  WriteWholeFile(dir / "Vesk.mdb", "source");
  WriteWholeFile(dir / "sentinel", "");
  Watching w;
  w.watcher().Watch(dir / "Vesk.mdb");
  w.watcher().Watch(dir / "sentinel");
  WriteWholeFile(dir / "report.csv", "output");
  ASSERT_EQ(std::rename((dir / "report.csv").c_str(), (dir / "status.html").c_str()), 0);
  // Events come in order: the sentinel's comes after the others'.
  ASSERT_EQ(truncate((dir / "sentinel").c_str(), 1), 0);
  ASSERT_TRUE(w.WaitForWake());
  EXPECT_EQ(w.Changed(false), std::vector<std::string>{dir / "sentinel"});
}

// A change that no event tells (a folder that did not exist, as a write made
// by another machine to a network share) is found by comparing stamps, once;
// a change that an event told is not told again by the next comparison; and
// a folder that appears is watched from the next comparison on.
TEST(InotifyWatcherTest, ComparingStampsFindsWhatNoEventTold) {
  ScratchDir dir;
  const std::string source = dir / "share/Vesk.mdb";
  Watching w;
  EXPECT_EQ(w.watcher().Watch(source), "");
  std::filesystem::create_directory(dir / "share");
  WriteWholeFile(source, "v1");
  EXPECT_TRUE(w.Changed(false).empty());
  EXPECT_EQ(w.Changed(true), std::vector<std::string>{source});
  EXPECT_TRUE(w.Changed(true).empty());
  ASSERT_EQ(truncate(source.c_str(), 4096), 0);
  ASSERT_TRUE(w.WaitForWake());
  EXPECT_EQ(w.Changed(false), std::vector<std::string>{source});
  EXPECT_TRUE(w.Changed(true).empty());
}

}  // namespace
}  // namespace tavrin
