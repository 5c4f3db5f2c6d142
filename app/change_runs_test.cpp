#include "app/change_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>

#include "app/main_dialog.h"
#include "app/run_ledger.h"
#include "platform/history/memory_run_history.h"
#include "platform/env/fake_env.h"
#include "platform/profile/fake_profile.h"
#include "platform/watch/fake_file_watcher.h"
#include "platform/window/fake_window.h"

namespace tavrin {
namespace {

const char kIni[] = "/w/TavrinReport.ini";
const char kSched[] = "Report Schedule";

// Drives the main dialog as the unattended log does, on a fake clock from
// 1000 s: each tick comes when the dialog asks for it (SetNextTick), and a
// sign of change from the scripted watcher brings one at once, through the
// dialog's wake. The source of report R is /w/R.mdb, which does not exist:
// a run of R is recorded as its source is opened, calls `during_run` with
// the number of the run (from 1), lasts run_ms[R] (default 500) and fails.
class ChangeSim : public DialogHost, public ado::ProviderFactory {
 public:
  struct Entry {
    std::string name;
    int minutes;
    std::optional<std::string> on_change;  // "Report On ChangeNN", when present
    std::string data_path = "";             // empty: Source(name)
  };
  struct Start {
    std::string name;
    int64_t at_ms;
    bool operator==(const Start&) const = default;
    friend void PrintTo(const Start& s, std::ostream* os) { *os << s.name << "@" << s.at_ms; }
  };

  explicit ChangeSim(const std::vector<Entry>& entries)
      : dlg_(env_, window_, &store_, *this, *FileSystem::Default(), "", "tavrin-report") {
    window_.set_refresh(WindowServices::Refresh::kNever);
    char key[64];
    for (size_t i = 0; i < entries.size(); ++i) {
      std::snprintf(key, sizeof key, "Report Name%02zu", i + 1);
      store_.Set(kSched, key, entries[i].name, kIni);
      std::snprintf(key, sizeof key, "Minutes Between Reports%02zu", i + 1);
      store_.Set(kSched, key, std::to_string(entries[i].minutes), kIni);
      std::snprintf(key, sizeof key, "Report On Change%02zu", i + 1);
      if (entries[i].on_change) store_.Set(kSched, key, *entries[i].on_change, kIni);
      store_.Set(entries[i].name, "Output", "CSV", kIni);
      store_.Set(entries[i].name, "DataPath",
                 entries[i].data_path.empty() ? Source(entries[i].name) : entries[i].data_path, kIni);
    }
    dlg_.SetFileWatcher(watcher_);
    dlg_.SetRunLedger(ledger_);
    dlg_.OnInitDialog(*this);
  }

  static std::string Source(const std::string& report) { return "/w/" + report + ".mdb"; }

  // Ticks until `until_ms`, giving a sign of change of the source of each
  // report of `changes` at its time (ms). Returns the runs started so far.
  std::vector<Start> Run(int64_t until_ms, std::multimap<int64_t, std::string> changes = {}) {
    int64_t& next_tick = next_tick_at_;
    while (!ended_) {
      if (!changes.empty() && changes.begin()->first <= std::min(next_tick, until_ms)) {
        env_.SetNowMs(std::max(env_.now_ms(), changes.begin()->first));
        next_tick_.reset();
        watcher_.Change(Source(changes.begin()->second));
        changes.erase(changes.begin());
        if (next_tick_) next_tick = *next_tick_;
        continue;
      }
      if (next_tick >= until_ms) break;
      env_.SetNowMs(std::max(env_.now_ms(), next_tick));
      next_tick_.reset();
      dlg_.OnTimer(*this, 100);
      ++ticks;
      if (!next_tick_) {
        ADD_FAILURE() << "no next tick asked for at " << env_.now_ms();
        break;
      }
      next_tick = *next_tick_;
    }
    return starts_;
  }

  FakeEnv env_{1000, "/w"};
  FakeProfileStore store_;
  FakeWindow window_;
  FakeFileWatcher watcher_{env_};
  MemoryRunHistory history_;
  RunLedger ledger_{env_, *FileSystem::Default(), history_, [](const std::string&, Severity) {}};
  std::map<std::string, int64_t> run_ms;
  std::function<void(int run)> during_run;
  int ticks = 0;
  bool ended_ = false;

  // DialogHost: the next tick and the end matter here.
  void SetTimer(int, int) override {}
  void SetNextTick(int, int64_t delay_ms) override { next_tick_ = env_.now_ms() + delay_ms; }
  void SetCaption(const std::string&) override {}
  void SetControlText(int, const std::string&) override {}
  void SetProgress(int) override {}
  void EndDialog(int) override { ended_ = true; }

  // ProviderFactory: the run of a report, recorded.
  std::unique_ptr<ado::Provider> Open(const std::string& connection_string, int, const ado::CancelCheck&,
                                      std::vector<ado::ErrorEntry>* errors) override {
    const size_t slash = connection_string.rfind('/') + 1;
    const std::string name = connection_string.substr(slash, connection_string.rfind(".mdb") - slash);
    starts_.push_back({name, env_.now_ms()});
    if (during_run) during_run(static_cast<int>(starts_.size()));
    env_.AdvanceMs(run_ms.count(name) ? run_ms[name] : 500);
    ado::ThrowProviderNotFound(errors);
  }

 private:
  std::optional<int64_t> next_tick_;  // asked for by the tick or the wake just made
  int64_t next_tick_at_ = env_.now_ms();

 public:
  CTavrinReportGeneratorDlg dlg_;

 private:
  std::vector<Start> starts_;
};

using Starts = std::vector<ChangeSim::Start>;

// A writer saves in a burst: one run, 2 s after its last write, and none
// after it. A one-shot entry that watches keeps the schedule going, and
// the loop still wakes at most once a second while it waits.
TEST(ChangeRunsTest, ABurstOfWritesMakesOneRunTwoSecondsAfterTheLast) {
  ChangeSim sim({{"Daily", 0, "Yes"}});
  const auto starts = sim.Run(1060'000, {{1010'000, "Daily"}, {1010'400, "Daily"}, {1010'800, "Daily"},
                                         {1011'250, "Daily"}});
  EXPECT_EQ(starts, (Starts{{"Daily", 1001'000}, {"Daily", 1013'250}}));
  std::vector<JobState> recorded;
  ASSERT_EQ(sim.history_.Read({"Daily"}, &recorded), "");
  ASSERT_TRUE(recorded.at(0).last_run);
  EXPECT_EQ(recorded[0].last_run->trigger, "source changed");
  EXPECT_FALSE(sim.ended_);
  EXPECT_LE(sim.ticks, 60 + 4 + 2 + 2);  // once a second, the wakes, and the runs' ends
  EXPECT_GE(sim.watcher_.comparisons(), 55);
  const auto notices = sim.window_.notices();
  EXPECT_NE(std::find(notices.begin(), notices.end(), "Daily: runs also when /w/Daily.mdb changes"),
            notices.end());
  EXPECT_NE(std::find(notices.begin(), notices.end(), "Daily: /w/Daily.mdb has changed"), notices.end());
}

// A write that gives no event (another machine's, to a network share) is
// found by the comparison of stamps at the next idle tick, a second at most.
TEST(ChangeRunsTest, AChangeWithoutAnEventIsFoundWithinASecond) {
  ChangeSim sim({{"Daily", 60, "Yes"}});
  sim.Run(1010'600);
  sim.watcher_.ChangeUnseen(ChangeSim::Source("Daily"));
  // The idle ticks come a second apart from the end of the first run, at
  // 1001.5 s: the change is found at 1011.5 s.
  EXPECT_EQ(sim.Run(1020'000), (Starts{{"Daily", 1001'000}, {"Daily", 1013'500}}));
}

// The run under way is not interrupted; the changes made while it ran make
// exactly one more run after it, once the source has been quiet for 2 s.
TEST(ChangeRunsTest, AChangeDuringARunMakesExactlyOneMoreRun) {
  ChangeSim sim({{"Daily", 60, "yes"}});
  sim.run_ms["Daily"] = 3000;
  sim.during_run = [&sim](int run) {
    if (run != 1) return;
    sim.env_.AdvanceMs(1000);
    sim.watcher_.Change(ChangeSim::Source("Daily"));
    sim.env_.AdvanceMs(1000);
    sim.watcher_.Change(ChangeSim::Source("Daily"));
  };
  // Run 1 goes from 1001 s to 1006 s; its last change was at 1003 s.
  EXPECT_EQ(sim.Run(1030'000), (Starts{{"Daily", 1001'000}, {"Daily", 1006'000}}));
}

// A run that read two versions of its source waits to run once more; a run
// on change that comes first is that run.
TEST(ChangeRunsTest, ARunOnChangeIsAlsoTheRetryOfARunThatReadTwoVersions) {
  ChangeSim sim({{"Daily", 60, "Yes"}});
  sim.during_run = [&sim](int run) {
    if (run != 1) return;
    sim.env_.AdvanceMs(1000);
    sim.watcher_.Change(ChangeSim::Source("Daily"));
    sim.dlg_.SourceChanged();
  };
  // The change at 1002 s makes the run at 1004 s; the retry would wait for
  // 2 s from the end of run 1, at 1002.5 s.
  EXPECT_EQ(sim.Run(1030'000), (Starts{{"Daily", 1001'000}, {"Daily", 1004'000}}));
}

// The same when the change comes at the very end of the run: the quiet wait
// follows the run.
TEST(ChangeRunsTest, AChangeAtTheEndOfARunWaitsForQuietAfterIt) {
  ChangeSim sim({{"Daily", 60, "Yes"}});
  sim.during_run = [&sim](int run) {
    if (run == 1) sim.env_.AdvanceMs(400), sim.watcher_.Change(ChangeSim::Source("Daily"));
  };
  EXPECT_EQ(sim.Run(1030'000), (Starts{{"Daily", 1001'000}, {"Daily", 1003'400}}));
}

// Only the entries that ask for it watch their source: without the key, or
// with No, an entry keeps to its interval, and the INI gains no key. A
// source that cannot be used here is not watched, and the log says why.
TEST(ChangeRunsTest, AnEntryWithoutTheKeyNeverRunsOnChange) {
  ChangeSim sim({{"Daily", 60, "Yes"},
                 {"Weekly", 60, std::nullopt},
                 {"Monthly", 60, "No"},
                 {"Remote", 60, "Yes", "C:\\Data\\Vesk.mdb"}});
  const auto starts = sim.Run(1050'000, {{1020'000, "Weekly"}, {1020'000, "Monthly"}, {1030'000, "Daily"}});
  EXPECT_EQ(starts, (Starts{{"Daily", 1001'000},
                            {"Weekly", 1001'500},
                            {"Monthly", 1002'000},
                            {"Daily", 1032'000}}));  // Remote's source is refused before it opens
  EXPECT_EQ(sim.watcher_.watched(), std::vector<std::string>{"/w/Daily.mdb"});
  EXPECT_EQ(sim.store_.Find(kSched, "Report On Change02", kIni), std::nullopt);
  EXPECT_EQ(sim.store_.Find(kSched, "Report On Change03", kIni), "No");
  const auto notices = sim.window_.notices();
  EXPECT_NE(std::find_if(notices.begin(), notices.end(),
                         [](const std::string& n) {
                           return n.rfind("Remote: does not run on change: a Windows path", 0) == 0;
                         }),
            notices.end());
}

}  // namespace
}  // namespace tavrin
