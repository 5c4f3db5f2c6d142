// Times the program's reports against mdb-export on one large Access file.
//
//   build/bench/report_bench [--rows N] [--runs R] [--bin PROGRAM] [--baseline PROGRAM]
//
// Writes an Org table of N sample organizations (default 200,000) with the
// project's writer, then runs each case R times (default 5) in turn and
// prints the median wall-clock and CPU time, the ratio to mdb-export's median,
// and the peak resident memory of each case. --bin measures another build of
// tavrin-report with the same data; --baseline also times the three reports
// of a second build (an older one, say), interleaved with the first, and
// prints the ratio of each report's median to the baseline's.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/process_timer.h"
#include "bench/sample_database.h"

namespace {

using tavrin::bench::Measurement;

const char kIni[] = R"([TavrinReportGenerator]
Output-Year-First=No
[Full]
Output=CSV
OutputFilename=full.csv
ReportField1=Status
ReportField2=Event Notes
ReportField3=ID Code
ReportField4=Pin Code
ReportField5=Organization Name
ReportField6=Permanent Notes
ReportField7=Town\City
ReportField8=County
ReportField9=Category
ReportField10=Web Address
ReportField11=Contact Name
ReportField12=Street Address 1
ReportField13=Street Address 2
ReportField14=Zip Code
ReportField15=City
ReportField16=State
ReportField17=Daytime Phone
ReportField18=Evening Phone
ReportField19=Other Phone
ReportField20=Fax Number
ReportField21=E-mail Address
ReportField22=Event Kill Date
ReportField23=Event Update Time
[Sorted]
Output=CSV
OutputFilename=sorted.csv
Where=Status <> 'Open'
ReportField1=[Category]
ReportFieldSort1=Yes
ReportField2=[Organization Name]
ReportFieldSort2=Yes
ReportField3=Status
ReportField4=Event Notes
ReportField5=Town\City
ReportField6=County
ReportField7=City
ReportField8=Zip Code
ReportField9=Event Kill Date
ReportField10=Event Update Time
[Html]
Output=HTML
OutputFilename=page.html
Where=Status <> 'Open'
ReportField1=[Category]
ReportFieldSort1=Yes
ReportField2=[Organization Name]
ReportFieldSort2=Yes
)";

}  // namespace

int main(int argc, char** argv) {
  int rows = 200000;
  int runs = 5;
  std::string bin = TAVRIN_REPORT_BIN;
  std::string baseline_bin;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--rows") rows = std::atoi(argv[i + 1]);
    if (opt == "--runs") runs = std::atoi(argv[i + 1]);
    if (opt == "--bin") bin = argv[i + 1];
    if (opt == "--baseline") baseline_bin = argv[i + 1];
  }
  char tmpl[] = "/tmp/tavrin-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string mdb = dir + "/Vesk.mdb";
  tavrin::bench::WriteSampleDatabase(mdb, rows);
  std::ofstream(dir + "/TavrinReport.ini") << kIni;
  struct stat st {};
  stat(mdb.c_str(), &st);
  std::printf("Org table of %d rows, file %.1f MiB, %d runs per case\n", rows,
              st.st_size / 1048576.0, runs);

  const std::vector<std::pair<std::string, std::string>> reports = {
      {"CSV, all 23 fields, ALL", "Full"}, {"CSV, 10 fields, sorted", "Sorted"}, {"HTML, sorted", "Html"}};
  std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"mdb-export Org", {"mdb-export", mdb, "Org"}}};
  for (const auto& [name, report] : reports) {
    cases.push_back({name, {bin, "--unattended", report}});
    if (!baseline_bin.empty()) cases.push_back({"baseline " + name, {baseline_bin, "--unattended", report}});
  }
  std::map<std::string, std::vector<double>> times, cpu;
  std::map<std::string, long> peak;
  for (int r = 0; r < runs; ++r) {
    for (const auto& [name, argv_case] : cases) {
      const Measurement m = tavrin::bench::RunMeasured(argv_case, dir);
      if (m.exit_code != 0) {
        std::fprintf(stderr, "%s failed with exit status %d\n", name.c_str(), m.exit_code);
        return 1;
      }
      times[name].push_back(m.seconds);
      cpu[name].push_back(m.cpu_seconds);
      peak[name] = std::max(peak[name], m.max_rss_kib);
    }
  }
  const double baseline = tavrin::bench::Median(times[cases[0].first]);
  const double cpu_baseline = tavrin::bench::Median(cpu[cases[0].first]);
  std::printf("%-34s %10s %8s %8s %8s %12s %10s\n", "case", "median s", "ratio", "cpu s", "ratio",
              "peak MiB", "x file");
  for (const auto& [name, argv_case] : cases) {
    const double median = tavrin::bench::Median(times[name]);
    const double cpu_median = tavrin::bench::Median(cpu[name]);
    std::printf("%-34s %10.3f %8.2f %8.3f %8.2f %12.1f %10.2f\n", name.c_str(), median,
                median / baseline, cpu_median, cpu_median / cpu_baseline, peak[name] / 1024.0,
                peak[name] * 1024.0 / static_cast<double>(st.st_size));
  }
  if (!baseline_bin.empty()) {
    std::printf("\n%-34s %12s %12s\n", "against the baseline", "wall ratio", "cpu ratio");
    for (const auto& [name, report] : reports)
      std::printf("%-34s %12.3f %12.3f\n", name.c_str(),
                  tavrin::bench::Median(times[name]) / tavrin::bench::Median(times["baseline " + name]),
                  tavrin::bench::Median(cpu[name]) / tavrin::bench::Median(cpu["baseline " + name]));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
