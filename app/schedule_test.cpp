#include "app/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <random>

#include "app/main_dialog.h"
#include "platform/env/fake_env.h"
#include "platform/profile/fake_profile.h"
#include "platform/window/fake_window.h"

namespace tavrin {
namespace {

const char kIni[] = "/w/TavrinReport.ini";
const char kSched[] = "Report Schedule";

struct Start {
  std::string name;
  int64_t at_ms;
};

// Drives the main dialog's own timer as its window does, a tick every 100 ms
// of a fake clock, over a schedule written into a fake INI at 1000 s. A run
// of report R lasts run_ms[R] (default 1 s): the source of each report takes
// that long to fail to open, and as the fake runs the run thread inline the
// clock has passed the run when OnTimer returns, and the tick that the end
// of the run brings comes at once.
//
// With `sleeps`, the window draws nothing and the ticks come when the dialog
// asks for them (SetNextTick), as they do in the unattended log; every tick
// of the 100 ms period that such a run skips is checked to decide nothing.
class ScheduleSim : public DialogHost, public ado::ProviderFactory {
 public:
  struct Entry {
    std::string name;
    int minutes;
  };

  explicit ScheduleSim(const std::vector<Entry>& entries, const std::string& cmdline = "",
                       bool sleeps = false)
      : sleeps_(sleeps), dlg_(env_, window_, &store_, *this, *FileSystem::Default(), cmdline, "tavrin-report") {
    window_.set_refresh(sleeps ? WindowServices::Refresh::kNever : WindowServices::Refresh::kEveryTick);
    char key[64];
    for (size_t i = 0; i < entries.size(); ++i) {
      std::snprintf(key, sizeof key, "Report Name%02zu", i + 1);
      store_.Set(kSched, key, entries[i].name, kIni);
      std::snprintf(key, sizeof key, "Minutes Between Reports%02zu", i + 1);
      store_.Set(kSched, key, std::to_string(entries[i].minutes), kIni);
    }
    for (const Entry& e : entries) Define(e.name);
    if (!cmdline.empty()) Define(cmdline);
    dlg_.OnInitDialog(*this);
  }

  // Ticks from `from_ms` until `until_ms` or until the dialog ends.
  std::vector<Start> Run(int64_t from_ms, int64_t until_ms) {
    for (int64_t t = from_ms; t < until_ms && !ended_;) {
      env_.SetNowMs(t);
      next_tick_ms_.reset();
      dlg_.OnTimer(*this, 100);
      ++ticks;
      if (ended_) {
        finished_at = t;
        break;
      }
      if (!sleeps_) {
        t = next_tick_ms_ ? *next_tick_ms_ : t + 100;
        continue;
      }
      if (!next_tick_ms_) {
        ADD_FAILURE() << "no next tick asked for at " << t;
        break;
      }
      const int64_t next = std::max(*next_tick_ms_, env_.now_ms());
      for (int64_t skipped = env_.now_ms() + 100; skipped < next; skipped += 100) {
        std::vector<tagREPORT_INFO> copy = schedule();
        const TickChoice choice = TakeDueEntry(copy, skipped / 1000);
        EXPECT_EQ(choice.due_index, -1) << "a tick at " << skipped << " would start a run";
        EXPECT_FALSE(choice.finished) << "a tick at " << skipped << " would end the program";
      }
      t = next;
    }
    return starts_;
  }

  std::vector<tagREPORT_INFO>& schedule() { return dlg_.m_ReportSchedule; }

  std::map<std::string, int64_t> run_ms;
  int64_t finished_at = -1;
  int ticks = 0;

  // DialogHost: only the end matters here.
  void SetTimer(int, int) override {}
  void SetNextTick(int, int64_t delay_ms) override { next_tick_ms_ = env_.now_ms() + delay_ms; }
  void SetCaption(const std::string&) override {}
  void SetControlText(int, const std::string&) override {}
  void SetProgress(int) override {}
  void EndDialog(int) override { ended_ = true; }

  // ProviderFactory: the run of a report, recorded.
  std::unique_ptr<ado::Provider> Open(const std::string& connection_string, int,
                                      const ado::CancelCheck&,
                                      std::vector<ado::ErrorEntry>* errors) override {
    const std::string name = connection_string.substr(connection_string.rfind('/') + 1);
    starts_.push_back({name, env_.now_ms()});
    env_.AdvanceMs(run_ms.count(name) ? run_ms[name] : 1000);
    ado::ThrowProviderNotFound(errors);
  }

 private:
  void Define(const std::string& report) {
    store_.Set(report, "Output", "CSV", kIni);
    store_.Set(report, "DataPath", "/w/" + report, kIni);
  }

  const bool sleeps_;
  std::optional<int64_t> next_tick_ms_;
  FakeEnv env_{1000, "/w"};
  FakeProfileStore store_;
  FakeWindow window_;
  CTavrinReportGeneratorDlg dlg_;
  std::vector<Start> starts_;
  bool ended_ = false;
};

TEST(BuildScheduleTest, CommandLineReportIsOneEntryAndLeavesTheIniAlone) {
  FakeProfileStore store;
  CIni2 ini(&store);
  ini.SetFile(kIni);
  const auto s = BuildSchedule(ini, "Daily", 5000);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].strReportName, "Daily");
  EXPECT_EQ(s[0].nMinutes, -1);
  EXPECT_EQ(s[0].tmNextDue, 4999);
  EXPECT_EQ(store.reads() + store.writes(), 0);
}

TEST(BuildScheduleTest, ReadsAll99IndicesAndWritesOnlyIndexOneDefaults) {
  FakeProfileStore store;
  store.Set(kSched, "Report Name05", "Weekly", kIni);
  store.Set(kSched, "Report Name07", "Daily", kIni);
  store.Set(kSched, "Minutes Between Reports07", "abc", kIni);
  store.Set(kSched, "Report Name09", "Weekly", kIni);
  store.Set(kSched, "Minutes Between Reports09", "-3", kIni);
  store.Set(kSched, "Report Name7", "Ignored", kIni);
  store.Set(kSched, "Report Name100", "Ignored", kIni);
  CIni2 ini(&store);
  ini.SetFile(kIni);
  const auto s = BuildSchedule(ini, "", 100);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].strReportName, "Weekly");
  EXPECT_EQ(s[0].nMinutes, 1);  // missing interval: the default
  EXPECT_EQ(s[1].strReportName, "Daily");
  EXPECT_EQ(s[1].nMinutes, 0);  // no leading digits: runs once
  EXPECT_EQ(s[2].strReportName, "Weekly");  // same name twice: two entries
  EXPECT_EQ(s[2].nMinutes, -3);
  for (const auto& e : s) EXPECT_EQ(e.tmNextDue, 100);
  EXPECT_EQ(store.Find(kSched, "Report Name01", kIni), "");
  EXPECT_EQ(store.Find(kSched, "Minutes Between Reports01", kIni), "1");
  EXPECT_FALSE(store.Find(kSched, "Minutes Between Reports05", kIni).has_value());
  EXPECT_EQ(ini.section(), kSched);
}

TEST(BuildScheduleTest, EmptyIniGivesAnEmptySchedule) {
  FakeProfileStore store;
  CIni2 ini(&store);
  ini.SetFile(kIni);
  EXPECT_TRUE(BuildSchedule(ini, "", 100).empty());
}

TEST(ScheduleTest, EntriesAreDueOnlyAfterTheClockSecondMovesOn) {
  ScheduleSim sim({{"A", 5}});
  const auto starts = sim.Run(1000'000, 1002'000);
  ASSERT_FALSE(starts.empty());
  EXPECT_EQ(starts[0].at_ms, 1001'000);
}

TEST(ScheduleTest, CommandLineEntryRunsAtTheFirstTickThenTheScheduleEnds) {
  ScheduleSim sim({}, "Daily");
  const auto starts = sim.Run(1000'000, 1010'000);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].at_ms, 1000'000);
  EXPECT_EQ(sim.finished_at, 1001'000);  // the first tick after the run ended
}

TEST(ScheduleTest, SlowOneMinuteReportRunsBackToBackWhileLaterEntriesWait) {
  ScheduleSim sim({{"Slow", 1}, {"Other", 1}});
  sim.run_ms["Slow"] = 180'000;
  const auto starts = sim.Run(1001'000, 1001'000 + 30 * 60'000);
  ASSERT_GE(starts.size(), 9u);
  for (size_t i = 0; i < starts.size(); ++i) {
    EXPECT_EQ(starts[i].name, "Slow");
    if (i > 0) {
      EXPECT_EQ(starts[i].at_ms - starts[i - 1].at_ms, 180'000);
    }
  }
}

TEST(TakeDueEntryTest, ClockMovedForwardCatchesUpOneIntervalPerRun) {
  std::vector<tagREPORT_INFO> s = {{"Hourly", 60, 1000}};
  ASSERT_EQ(TakeDueEntry(s, 1001).due_index, 0);
  EXPECT_EQ(s[0].tmNextDue, 1000 + 3600);
  // A day later every missed interval runs, one per run, none skipped.
  const int64_t later = 1001 + 86400;
  int runs = 0;
  while (TakeDueEntry(s, later).due_index == 0) ++runs;
  EXPECT_EQ(runs, 24);
  EXPECT_EQ(s[0].tmNextDue, 1000 + 25 * 3600);
}

TEST(ScheduleTest, OneShotEntriesRunOnceInOrderThenTheScheduleEnds) {
  ScheduleSim sim({{"A", 0}, {"B", -5}, {"C", 0}});
  const auto starts = sim.Run(1001'000, 1100'000);
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[0].name, "A");
  EXPECT_EQ(starts[1].name, "B");
  EXPECT_EQ(starts[2].name, "C");
  EXPECT_GT(sim.finished_at, starts[2].at_ms);
  EXPECT_EQ(sim.schedule()[0].tmNextDue, 1000 + 86313600);  // due again in 999 days
}

TEST(ScheduleTest, OneShotEntriesStillRunWhenTheFirstTickFallsInTheStartSecond) {
  ScheduleSim sim({{"A", 0}, {"B", 0}});
  const auto starts = sim.Run(1000'100, 1100'000);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].at_ms, 1001'000);
}

TEST(TakeDueEntryTest, RepeatingEntryKeepsTheScheduleAliveAndLargeIntervalsDoNotOverflow) {
  std::vector<tagREPORT_INFO> s = {{"A", 2147483647, 1000}};
  TickChoice c = TakeDueEntry(s, 1001);
  EXPECT_EQ(c.due_index, 0);
  EXPECT_EQ(s[0].tmNextDue, 1000 + int64_t{2147483647} * 60);
  c = TakeDueEntry(s, 1002);
  EXPECT_EQ(c.due_index, -1);
  EXPECT_FALSE(c.finished);
}

TEST(ScheduleTest, TwoEntriesDueAtOnceRunInScheduleOrder) {
  ScheduleSim sim({{"First", 10}, {"Second", 10}});
  sim.run_ms["First"] = 2500;
  const auto starts = sim.Run(1001'000, 1010'000);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].name, "First");
  EXPECT_EQ(starts[1].name, "Second");
  EXPECT_EQ(starts[1].at_ms, 1003'500);  // the first tick after First ended
}

TEST(NextDecisionSecondTest, TheFirstSecondAnEntryReachesOrPasses) {
  const std::vector<tagREPORT_INFO> s = {{"A", 5, 1010}, {"B", 0, 1003}, {"C", 1, 1000}};
  EXPECT_EQ(NextDecisionSecond(s, 1000), 1001);  // C passes its due second
  EXPECT_EQ(NextDecisionSecond({s[0], s[1]}, 1000), 1003);
  EXPECT_EQ(NextDecisionSecond({s[1]}, 1003), 1004);
  EXPECT_EQ(NextDecisionSecond({}, 1000), INT64_MAX);
}

// The unattended loop against the 100 ms tick: every tick it skips would
// have decided nothing (checked by the simulation); the same runs in the
// same order, each started no later than the tick would start it and less
// than a tick sooner, the same end, and a tick at most every second while
// the schedule waits.
TEST(ScheduleTest, SleepingUntilTheNextDecisionMakesEveryTickDecideAsTheTickByTickRun) {
  std::mt19937 random(13);
  for (int round = 0; round < 60; ++round) {
    std::vector<ScheduleSim::Entry> entries;
    const int count = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < count; ++i) {
      static const int kMinutes[] = {0, -1, 1, 2, 3};
      entries.push_back({"R" + std::to_string(i), kMinutes[random() % 5]});
    }
    std::map<std::string, int64_t> run_ms;
    for (const auto& e : entries) run_ms[e.name] = static_cast<int64_t>((random() % 4) * 30'050 + random() % 1000);
    const int64_t start = 1000'000 + static_cast<int64_t>(random() % 10) * 100;
    const int64_t until = start + 12 * 60'000;
    ScheduleSim ticking(entries), sleeping(entries, "", true);
    ticking.run_ms = sleeping.run_ms = run_ms;
    const auto expected = ticking.Run(start, until);
    const auto starts = sleeping.Run(start, until);
    ASSERT_EQ(starts.size(), expected.size()) << "round " << round;
    for (size_t i = 0; i < starts.size(); ++i) {
      EXPECT_EQ(starts[i].name, expected[i].name) << "round " << round << " run " << i;
      EXPECT_LE(starts[i].at_ms, expected[i].at_ms) << "round " << round << " run " << i;
      EXPECT_GT(starts[i].at_ms, expected[i].at_ms - 100) << "round " << round << " run " << i;
    }
    EXPECT_EQ(sleeping.finished_at >= 0, ticking.finished_at >= 0) << "round " << round;
    if (ticking.finished_at >= 0) {
      EXPECT_LE(sleeping.finished_at, ticking.finished_at) << "round " << round;
      EXPECT_GT(sleeping.finished_at, ticking.finished_at - 100) << "round " << round;
    }
    EXPECT_LE(sleeping.ticks, (until - start) / 1000 + 2 * static_cast<int>(starts.size()) + 2);
  }
}

TEST(ScheduleTest, ACommandLineReportEndsTheProgramAsSoonAsItsRunEnds) {
  ScheduleSim sim({}, "Daily", true);
  sim.run_ms["Daily"] = 7;
  const auto starts = sim.Run(1000'050, 1010'000);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].at_ms, 1000'050);
  EXPECT_EQ(sim.finished_at, 1000'057);
}

// The retry waits for 2 seconds of the same stamp: every change, a file
// that disappears or comes back included, starts the wait again.
TEST(QuietRetryTest, RunsOnceTheSourceHasKeptOneStampForTwoSeconds) {
  const fs::FileStamp v1{1, 10, 4096, 1'000};
  const fs::FileStamp v2{1, 10, 4096, 2'000};  // written in place, same size
  QuietRetry retry{"Daily", "/data/Vesk.mdb", v1, 0};
  EXPECT_FALSE(QuietLongEnough(retry, v1, 1'999));
  EXPECT_FALSE(QuietLongEnough(retry, v2, 1'999));  // written meanwhile: the wait starts again
  EXPECT_FALSE(QuietLongEnough(retry, v2, 3'998));
  EXPECT_FALSE(QuietLongEnough(retry, std::nullopt, 3'999));  // being replaced
  const fs::FileStamp v3{1, 11, 8192, 3'000};           // the new file in its place
  EXPECT_FALSE(QuietLongEnough(retry, v3, 4'000));
  EXPECT_FALSE(QuietLongEnough(retry, v3, 5'999));
  EXPECT_TRUE(QuietLongEnough(retry, v3, 6'000));
}

}  // namespace
}  // namespace tavrin
