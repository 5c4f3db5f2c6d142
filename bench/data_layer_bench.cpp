// Times the data layer (Access provider and record set) against mdb-export on
// one large Access file.
//
//   build/bench/data_layer_bench [--rows N] [--runs R]
//
// Writes an Org table of N sample organizations (default 200,000), then runs
// each case R times (default 5) in turn, each run in a child process of its
// own, and prints the median wall-clock time, the ratio to mdb-export's
// median and the peak resident memory of each case next to the file's size.
//
// Cases: mdb-export of Org; the data layer with a condition and a sort,
// reading every field of every row by name; the same over all rows, as a
// report of everything does; the query with the condition, with and without
// the sort, its rows chosen but not read, whose difference it prints as the
// cost of SQLite's sort.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/process_timer.h"
#include "platform/ado/ado.h"
#include "platform/providers/providers.h"
#include "tools/jet4_writer.h"

namespace {

using tavrin::bench::Measurement;

// Opens `path`, runs `sql` and reads every field of every row by name (with
// `fields`; else only the query runs, and its first record is read); 0 when
// the row count matched `expected_rows`.
int ReadAll(const std::string& path, const std::string& sql, long expected_rows, bool fields = true) {
  using namespace tavrin::ado;
  try {
    DefaultProviders providers(*tavrin::Env::Default());
    auto connection = std::make_shared<Connection>(providers);
    connection->Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path, "", "", -1);
    Recordset rs;
    rs.Open(sql, connection, adOpenStatic, adLockReadOnly, adCmdText);
    const std::vector<std::string> names = rs.FieldNames();
    long rows = 0;
    size_t bytes = 0;
    if (!fields) {
      rows = static_cast<long>(rs.RecordCount());
      bytes = static_cast<size_t>(rows);
    }
    for (; fields && !rs.IsEOF(); rs.MoveNext(), ++rows)
      for (const auto& name : names) bytes += rs.GetFieldValue(name).AsText().size();
    connection->Close();
    if (expected_rows >= 0 && rows != expected_rows) {
      std::fprintf(stderr, "read %ld rows, expected %ld\n", rows, expected_rows);
      return 2;
    }
    return bytes > 0 ? 0 : 3;
  } catch (const tavrin::_com_error& e) {
    std::fprintf(stderr, "data layer failed: %s\n", e.Description().value_or("?").c_str());
    return 1;
  }
}

struct Case {
  std::string name;
  std::function<Measurement()> run;
  std::vector<double> seconds;
  long peak_kib = 0;
  bool failed = false;
};

}  // namespace

int main(int argc, char** argv) {
  int rows = 200000, runs = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "tavrin-data-bench-XXXXXX").string();
  const std::string dir = mkdtemp(pattern.data());
  const std::string path = dir + "/Vesk.mdb";
  // Written by a child, so that the measured children, which are forked from
  // this process, do not start with the writer's memory.
  const Measurement written = tavrin::bench::MeasureInChild([&] {
    tavrin::jet4::Writer w(path);
    w.BeginTable("Org", tavrin::jet4::OrgColumns());
    for (const auto& row : tavrin::jet4::SampleOrgRows(rows, 1)) w.AddRow(row);
    w.EndTable();
    w.Finish();
    return 0;
  });
  if (written.exit_code != 0) {
    std::fprintf(stderr, "writing %s failed\n", path.c_str());
    return 1;
  }
  const double file_mib = static_cast<double>(fs::file_size(path)) / (1024 * 1024);
  std::printf("%d rows, file %.1f MiB, %d runs each\n", rows, file_mib, runs);

  const std::string unsorted = "SELECT * FROM Org WHERE Status <> 'Open'";
  const std::string filtered = unsorted + " ORDER BY [Category],[Organization Name]";
  // The two queries alone, the rows chosen but not read: the difference is
  // what SQLite's sort costs.
  auto query_only = [&](const std::string& sql) {
    return [&path, sql] { return tavrin::bench::MeasureInChild([&] { return ReadAll(path, sql, -1, false); }); };
  };
  std::vector<Case> cases = {
      {"mdb-export Org", [&] { return tavrin::bench::RunMeasured({"mdb-export", path, "Org"}, dir); }, {}, 0, false},
      {"data layer, WHERE + ORDER BY", [&] { return tavrin::bench::MeasureInChild([&] { return ReadAll(path, filtered, -1); }); }, {}, 0, false},
      {"data layer, all rows sorted",
       [&] {
         return tavrin::bench::MeasureInChild([&] {
           return ReadAll(path, "SELECT * FROM Org ORDER BY [County],[Category],[Organization Name]", rows);
         });
       },
       {}, 0, false},
      {"query only, WHERE + ORDER BY", query_only(filtered), {}, 0, false},
      {"query only, WHERE", query_only(unsorted), {}, 0, false},
  };
  for (int r = 0; r < runs; ++r) {
    for (auto& c : cases) {
      const Measurement m = c.run();
      c.failed = c.failed || m.exit_code != 0;
      c.seconds.push_back(m.seconds);
      c.peak_kib = std::max(c.peak_kib, m.max_rss_kib);
    }
  }
  const double base = tavrin::bench::Median(cases[0].seconds);
  std::printf("%-32s %10s %8s %12s %10s\n", "case", "median s", "ratio", "peak MiB", "x file");
  for (const auto& c : cases) {
    const double median = tavrin::bench::Median(c.seconds);
    const double peak_mib = static_cast<double>(c.peak_kib) / 1024;
    std::printf("%-32s %10.3f %8.2f %12.1f %10.2f%s\n", c.name.c_str(), median, median / base, peak_mib,
                peak_mib / file_mib, c.failed ? "  FAILED" : "");
  }
  const double sort_s = tavrin::bench::Median(cases[3].seconds) - tavrin::bench::Median(cases[4].seconds);
  std::printf("SQLite's sort of the WHERE's rows: %.3f s\n", sort_s);
  fs::remove_all(dir);
  bool failed = false;
  for (const auto& c : cases) failed = failed || c.failed;
  return failed ? 1 : 0;
}
