// What the run history and the metrics file add to a run: the time of
// RunLedger::RunEnded, which a run spends after its report is done, over a
// history on disk that already holds a full 1,000 runs of the report, as the
// product opens it (once per run). For scale, the whole 10-row report run by
// the program.
//
//   history_bench [--runs N]

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/run_ledger.h"
#include "bench/process_timer.h"
#include "bench/sample_database.h"
#include "config/ini2.h"
#include "platform/env/env.h"
#include "platform/fs/file_system.h"
#include "platform/history/sqlite_run_history.h"
#include "platform/profile/profile.h"

namespace {

using tavrin::bench::Median;

struct Timing {
  double median_ms;
  double p95_ms;
};

Timing Summary(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {Median(ms), ms[ms.size() * 95 / 100]};
}

// Times `runs` ends of a run of the report "Web" of the INI in `dir`.
Timing TimeRunEnds(const std::string& dir, int runs) {
  tavrin::Env& env = *tavrin::Env::Default();
  tavrin::SqliteRunHistory history(tavrin::HistoryFileIn(dir));
  tavrin::RunLedger ledger(env, *tavrin::FileSystem::Default(), history,
                           [](const std::string& text, tavrin::Severity) { std::fprintf(stderr, "%s\n", text.c_str()); });
  tavrin::CIni2 ini(tavrin::DefaultProfileStore());
  tavrin::CReportDefinition def(ini, env);
  def.m_strWorkDir = dir;
  def.m_strIniFile = tavrin::CReportDefinition::IniFileIn(dir);
  def.m_strReportName = "Web";
  def.m_strOutput = "HTML";
  def.m_strOutputFilename = "status.html";
  tavrin::CTavrinReportGeneratorDlg::RunEnd end;
  end.written = 10;
  end.destination = "written to status.html";
  end.seconds = 0.05;
  // A full history first, as after days of runs.
  for (int i = 0; i < 1000; ++i) ledger.RunEnded(def, end, false, "schedule", env.NowMilliseconds());
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ledger.RunEnded(def, end, false, "schedule", env.NowMilliseconds());
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return Summary(ms);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
  }
  char pattern[] = "/tmp/tavrin-history-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  tavrin::bench::WriteSampleDatabase(dir + "/Vesk.mdb", 10);
  const std::string web = "[Web]\nOutput=HTML\nOutputFilename=status.html\n";
  std::FILE* f = std::fopen((dir + "/TavrinReport.ini").c_str(), "w");
  std::fputs(web.c_str(), f);
  std::fclose(f);

  std::vector<double> whole;
  for (int i = 0; i < 10; ++i)
    whole.push_back(tavrin::bench::RunMeasured({TAVRIN_REPORT_BIN, "--unattended", "Web"}, dir).seconds * 1000);
  const Timing history = TimeRunEnds(dir, runs);
  std::filesystem::remove_all(dir + "/TavrinReport.ini.history");
  std::filesystem::remove(dir + "/TavrinReport.ini.history-wal");
  std::filesystem::remove(dir + "/TavrinReport.ini.history-shm");
  f = std::fopen((dir + "/TavrinReport.ini").c_str(), "w");
  std::fputs(("[TavrinReportGenerator]\nMetricsFile=tavrin.prom\n" + web).c_str(), f);
  std::fclose(f);
  const Timing with_metrics = TimeRunEnds(dir, runs);
  std::printf("10-row report, %d run ends over a history of 1,000 runs:\n\n", runs);
  std::printf("| what | median ms | p95 ms |\n|---|---|---|\n");
  std::printf("| whole report run (tavrin-report Web, 10 runs) | %.1f | |\n", Median(whole));
  std::printf("| history (one row) | %.3f | %.3f |\n", history.median_ms, history.p95_ms);
  std::printf("| history and metrics file | %.3f | %.3f |\n", with_metrics.median_ms, with_metrics.p95_ms);
  std::filesystem::remove_all(dir);
  return 0;
}
