// Times the program's reports against mdb-export and the C floor on large
// Access files of two shapes.
//
//   build/bench/report_bench [--rows N] [--runs R] [--shape short|long|both]
//                            [--bin PROGRAM] [--baseline PROGRAM] [--callgrind]
//
// For each shape (both by default: `short`, the sample rows of
// tavrin-mdb-write --sample, and `long`, those of --shape long: texts up to
// 255 characters, memos of 1 to 8 KiB, non-ASCII text) writes an Org table
// of N sample organizations (default 200,000) with the project's writer,
// then runs each case R times (default 5) in turn and prints the median
// wall-clock and CPU time (of the whole process, its reader children
// included), their ratios to the floor's (bench/floor.c, which writes the
// "Full" report's bytes; checked once) and to mdb-export's medians, the
// peak resident memory of the largest process, and the peak memory of the
// program and its reader children together (their summed Pss, sampled in
// one more run of each case) against the file's size. --bin measures
// another build of tavrin-report with the same data; --baseline also times
// the three reports of a second build (an older one, say), interleaved with
// the first, and prints the ratio of each report's median to the baseline's.
//
// --callgrind instead runs each case once under valgrind's callgrind (the
// reader child too) and prints its instruction count, the stable figure of
// a shared machine. The programs named must be built with
// -DTAVRIN_CALLGRIND=ON (valgrind cannot run the reader's seccomp filter).

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Instructions that callgrind counted in the files `prefix`* (one per
// process of the run), summed.
long long CallgrindTotal(const std::string& dir, const std::string& prefix) {
  long long total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("summary: ", 0) == 0) total += std::atoll(line.c_str() + 9);
    }
    std::filesystem::remove(entry.path());
  }
  return total;
}

bool SameBytes(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

struct Options {
  int rows = 200000;
  int runs = 5;
  std::string bin = TAVRIN_REPORT_BIN;
  std::string baseline_bin;
  bool callgrind = false;
};

// Runs every case on a file of `shape`; nonzero when a case failed.
int RunShape(const Options& o, const char* shape_name, tavrin::jet4::SampleShape shape) {
  const int rows = o.rows, runs = o.runs;
  const std::string& bin = o.bin;
  const std::string& baseline_bin = o.baseline_bin;
  char tmpl[] = "/tmp/tavrin-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string mdb = dir + "/Vesk.mdb";
  tavrin::bench::WriteSampleDatabase(mdb, rows, shape);
  std::ofstream(dir + "/TavrinReport.ini") << kIni;
  struct stat st {};
  stat(mdb.c_str(), &st);
  std::printf("\n%s shape: Org table of %d rows, file %.1f MiB, %d runs per case\n", shape_name, rows,
              static_cast<double>(st.st_size) / 1048576.0, runs);

  const std::vector<std::pair<std::string, std::string>> reports = {
      {"CSV, all 23 fields, ALL", "Full"}, {"CSV, 10 fields, sorted", "Sorted"}, {"HTML, sorted", "Html"}};
  std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"mdb-export Org", {"mdb-export", mdb, "Org"}}, {"floor (C, libmdb)", {FLOOR_BIN, mdb}}};
  for (const auto& [name, report] : reports) {
    cases.push_back({name, {bin, "--unattended", report}});
    if (!baseline_bin.empty()) cases.push_back({"baseline " + name, {baseline_bin, "--unattended", report}});
  }

  // A first run of each report writes its defaults into the INI; after it
  // the file no longer changes, as in daily use, and is left to settle for
  // the program's cache of it (read again while under two seconds old).
  for (const auto& [name, argv_case] : cases) {
    if (argv_case[1] == "--unattended") tavrin::bench::RunMeasured(argv_case, dir);
  }
  sleep(3);

  if (o.callgrind) {
    std::printf("%-34s %16s %8s\n", "case (callgrind)", "instructions", "x floor");
    long long floor_count = 0;
    for (size_t c = 1; c < cases.size(); ++c) {
      const auto& [name, argv_case] = cases[c];
      std::vector<std::string> command = {"valgrind", "--tool=callgrind", "--trace-children=yes",
                                          "--callgrind-out-file=" + dir + "/callgrind." + std::to_string(c) + ".%p"};
      command.insert(command.end(), argv_case.begin(), argv_case.end());
      const Measurement m = tavrin::bench::RunMeasured(command, dir);
      const long long count = CallgrindTotal(dir, "callgrind." + std::to_string(c) + ".");
      if (m.exit_code != 0 || count == 0) {
        std::fprintf(stderr, "%s failed under callgrind (exit status %d); is it a -DTAVRIN_CALLGRIND=ON build?\n",
                     name.c_str(), m.exit_code);
        return 1;
      }
      if (c == 1) floor_count = count;
      std::printf("%-34s %16lld %8.2f\n", name.c_str(), count, static_cast<double>(count) / static_cast<double>(floor_count));
    }
    std::filesystem::remove_all(dir);
    return 0;
  }

  std::map<std::string, std::vector<double>> times, cpu;
  std::map<std::string, long> peak, tree_peak;
  for (int r = 0; r < runs; ++r) {
    for (const auto& [name, argv_case] : cases) {
      const bool floor = argv_case[0] == FLOOR_BIN;
      const Measurement m = tavrin::bench::RunMeasured(argv_case, dir, floor ? dir + "/floor.csv" : "/dev/null");
      if (m.exit_code != 0) {
        std::fprintf(stderr, "%s failed with exit status %d\n", name.c_str(), m.exit_code);
        return 1;
      }
      times[name].push_back(m.seconds);
      cpu[name].push_back(m.cpu_seconds);
      peak[name] = std::max(peak[name], m.max_rss_kib);
    }
  }
  // The memory of each case with its children, in a run of its own: the
  // sampling costs time.
  for (const auto& [name, argv_case] : cases)
    tree_peak[name] = tavrin::bench::RunMeasured(argv_case, dir, "/dev/null", true).tree_peak_kib;
  if (!SameBytes(dir + "/floor.csv", dir + "/full.csv")) {
    std::fprintf(stderr, "the floor's file differs from full.csv: the floor does not set the pace\n");
    return 1;
  }
  const auto median_of = [&](std::map<std::string, std::vector<double>>& m, const std::string& name) {
    return tavrin::bench::Median(m[name]);
  };
  const std::string& export_case = cases[0].first;
  const std::string& floor_case = cases[1].first;
  std::printf("%-34s %9s %7s %7s %8s %7s %7s %8s %9s %7s\n", "case", "median s", "x floor", "x mdbx", "cpu s",
              "x floor", "x mdbx", "rss MiB", "all MiB", "x file");
  for (const auto& [name, argv_case] : cases) {
    const double wall = median_of(times, name), cpu_s = median_of(cpu, name);
    std::printf("%-34s %9.3f %7.2f %7.2f %8.3f %7.2f %7.2f %8.1f %9.1f %7.2f\n", name.c_str(), wall,
                wall / median_of(times, floor_case), wall / median_of(times, export_case), cpu_s,
                cpu_s / median_of(cpu, floor_case), cpu_s / median_of(cpu, export_case),
                static_cast<double>(peak[name]) / 1024.0, static_cast<double>(tree_peak[name]) / 1024.0,
                static_cast<double>(tree_peak[name]) * 1024.0 / static_cast<double>(st.st_size));
  }
  if (!baseline_bin.empty()) {
    std::printf("\n%-34s %12s %12s\n", "against the baseline", "wall ratio", "cpu ratio");
    for (const auto& [name, report] : reports)
      std::printf("%-34s %12.3f %12.3f\n", name.c_str(), median_of(times, name) / median_of(times, "baseline " + name),
                  median_of(cpu, name) / median_of(cpu, "baseline " + name));
  }
  std::filesystem::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::pair<const char*, tavrin::jet4::SampleShape>> shapes = {
      {"short", tavrin::jet4::SampleShape::kShort}, {"long", tavrin::jet4::SampleShape::kLong}};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--callgrind") == 0) {
      o.callgrind = true;
      continue;
    }
    if (i + 1 >= argc) break;
    const std::string opt = argv[i++];
    if (opt == "--rows") o.rows = std::atoi(argv[i]);
    if (opt == "--runs") o.runs = std::atoi(argv[i]);
    if (opt == "--bin") o.bin = argv[i];
    if (opt == "--baseline") o.baseline_bin = argv[i];
    if (opt == "--shape" && std::strcmp(argv[i], "short") == 0) shapes.pop_back();
    if (opt == "--shape" && std::strcmp(argv[i], "long") == 0) shapes.erase(shapes.begin());
  }
  // The cases run in the data's folder.
  o.bin = std::filesystem::absolute(o.bin).string();
  if (!o.baseline_bin.empty()) o.baseline_bin = std::filesystem::absolute(o.baseline_bin).string();
  for (const auto& [name, shape] : shapes)
    if (RunShape(o, name, shape) != 0) return 1;
  return 0;
}
