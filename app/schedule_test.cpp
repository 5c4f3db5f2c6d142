#include "app/schedule.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/fake_profile.h"

namespace tavrin {
namespace {

const char kIni[] = "/w/TavrinReport.ini";
const char kSched[] = "Report Schedule";

struct Start {
  std::string name;
  int64_t at_ms;
};

// Drives the schedule the way the main window's timer does: a tick every
// 100 ms that, when no run is under way, starts the entry TakeDueEntry picks.
// A run of report R lasts run_ms[R] (default 1 s).
class ScheduleSim {
 public:
  explicit ScheduleSim(std::vector<tagREPORT_INFO> schedule) : schedule_(std::move(schedule)) {}

  // Ticks from `from_ms` until `until_ms` or until the schedule is finished.
  std::vector<Start> Run(int64_t from_ms, int64_t until_ms) {
    std::vector<Start> starts;
    int64_t running_until = -1;
    for (int64_t t = from_ms; t < until_ms; t += 100) {
      if (t >= running_until) {
        running_until = -1;
        const TickChoice c = TakeDueEntry(schedule_, t / 1000);
        if (c.due_index >= 0) {
          const std::string& name = schedule_[c.due_index].strReportName;
          starts.push_back({name, t});
          running_until = t + (run_ms.count(name) ? run_ms[name] : 1000);
        }
        if (c.finished) {
          finished_at = t;
          break;
        }
      }
    }
    return starts;
  }

  std::map<std::string, int64_t> run_ms;
  int64_t finished_at = -1;
  std::vector<tagREPORT_INFO> schedule_;
};

TEST(BuildScheduleTest, CommandLineReportIsOneEntryAndLeavesTheIniAlone) {
  FakeProfileStore store;
  CIni2 ini(&store);
  ini.m_strFile2 = kIni;
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
  ini.m_strFile2 = kIni;
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
  EXPECT_EQ(ini.m_strSection, kSched);
}

TEST(BuildScheduleTest, EmptyIniGivesAnEmptySchedule) {
  FakeProfileStore store;
  CIni2 ini(&store);
  ini.m_strFile2 = kIni;
  EXPECT_TRUE(BuildSchedule(ini, "", 100).empty());
}

TEST(TakeDueEntryTest, EntriesAreDueOnlyAfterTheClockSecondMovesOn) {
  ScheduleSim sim({{"A", 5, 1000}});
  const auto starts = sim.Run(1000'000, 1002'000);
  ASSERT_FALSE(starts.empty());
  EXPECT_EQ(starts[0].at_ms, 1001'000);
}

TEST(TakeDueEntryTest, CommandLineEntryRunsAtTheFirstTickThenTheScheduleEnds) {
  ScheduleSim sim({{"Daily", -1, 999}});
  const auto starts = sim.Run(1000'000, 1010'000);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].at_ms, 1000'000);
  EXPECT_EQ(sim.finished_at, 1001'000);  // the first tick after the run ended
}

TEST(TakeDueEntryTest, SlowOneMinuteReportRunsBackToBackWhileLaterEntriesWait) {
  ScheduleSim sim({{"Slow", 1, 1000}, {"Other", 1, 1000}});
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

TEST(TakeDueEntryTest, OneShotEntriesRunOnceInOrderThenTheScheduleEnds) {
  ScheduleSim sim({{"A", 0, 1000}, {"B", -5, 1000}, {"C", 0, 1000}});
  const auto starts = sim.Run(1001'000, 1100'000);
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[0].name, "A");
  EXPECT_EQ(starts[1].name, "B");
  EXPECT_EQ(starts[2].name, "C");
  EXPECT_GT(sim.finished_at, starts[2].at_ms);
  EXPECT_EQ(sim.schedule_[0].tmNextDue, 1000 + 86313600);  // due again in 999 days
}

TEST(TakeDueEntryTest, OneShotEntriesStillRunWhenTheFirstTickFallsInTheStartSecond) {
  ScheduleSim sim({{"A", 0, 1000}, {"B", 0, 1000}});
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

TEST(TakeDueEntryTest, TwoEntriesDueAtOnceRunInScheduleOrder) {
  ScheduleSim sim({{"First", 10, 1000}, {"Second", 10, 1000}});
  sim.run_ms["First"] = 2500;
  const auto starts = sim.Run(1001'000, 1010'000);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].name, "First");
  EXPECT_EQ(starts[1].name, "Second");
  EXPECT_EQ(starts[1].at_ms, 1003'500);  // the first tick after First ended
}

}  // namespace
}  // namespace tavrin
