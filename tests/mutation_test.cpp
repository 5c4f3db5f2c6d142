// Damaged copies of a small Access file through the real program, for an
// Access 2000 file, an Access 2010 .accdb and an Access 97 file: bytes
// flipped in random pages, pages zeroed or swapped, cuts at random offsets.
// Every mutant must end in bounded time without dying by a signal, leave
// the file as it was, print nothing raw, and never report success with
// fewer records than the clean file has.
//
//   TAVRIN_MUTANTS=N (default 300)  TAVRIN_MUTANT_SEED=S (default 20240305)
//
// Mutant i is made from seed S + i alone, so a failure can be replayed by
// itself with TAVRIN_MUTANT_SEED=S+i TAVRIN_MUTANTS=1.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <ostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

constexpr int kRecords = 300;
constexpr int kTimeLimitSeconds = 60;
const char kQueryRefused[] = "There was a data access error encountered";
// Every record ends in this cell, which no text from the file can hold (the
// program turns double quotes from the database into single ones).
const char kRecordEnd[] = "\"VALUE NOT FOUND\"\r\n";

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

std::string Mutate(const std::string& clean, size_t page_size, uint64_t seed, std::string* kind) {
  std::mt19937_64 rng(seed);
  std::string m = clean;
  const size_t pages = clean.size() / page_size;
  auto page = [&] { return static_cast<size_t>(rng() % pages); };
  switch (rng() % 4) {
    case 0: {
      *kind = "flip";
      const size_t p = page();
      for (uint64_t i = 0, n = 1 + rng() % 64; i < n; ++i)
        m[p * page_size + rng() % page_size] = static_cast<char>(rng());
      break;
    }
    case 1:
      *kind = "zero";
      std::fill_n(m.begin() + static_cast<long>(page() * page_size), page_size, '\0');
      break;
    case 2: {
      *kind = "swap";
      const size_t a = page(), b = page();
      std::swap_ranges(m.begin() + static_cast<long>(a * page_size), m.begin() + static_cast<long>((a + 1) * page_size),
                       m.begin() + static_cast<long>(b * page_size));
      break;
    }
    default:
      *kind = "cut";
      m.resize(static_cast<size_t>(rng() % clean.size()));
      break;
  }
  return m;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// A line of standard error that the program did not write: every line of
// the log starts with a timestamp, and the further lines of a box start
// with a tab or are one of the few second lines that boxes have.
bool IsRawLine(const std::string& line) {
  static const char* const kContinuations[] = {"while trying to open the Tavrin Database.",
                                               "This message will close automatically",
                                               "The report was not made."};
  if (line.size() >= 20 && line.compare(0, 2, "20") == 0 && line[10] == 'T') return false;
  if (!line.empty() && line[0] == '\t') return false;
  for (const char* c : kContinuations)
    if (line == c) return false;
  return true;
}

struct Format {
  const char* name;  // as tavrin-mdb-write --format takes it
  const char* file;
  size_t page_size;
};

// Names the format in test listings.
void PrintTo(const Format& format, std::ostream* os) { *os << format.name; }

class MutationTest : public testing::TestWithParam<Format> {};

TEST_P(MutationTest, DamagedFilesFailCleanlyInBoundedTime) {
  const Format format = GetParam();
  const int mutants = EnvInt("TAVRIN_MUTANTS", 300);
  const uint64_t seed = static_cast<uint64_t>(EnvInt("TAVRIN_MUTANT_SEED", 20240305));
  TempDir source;
  const RunResult w = RunProgram(
      MdbWriteBinary(), {format.file, "--format", format.name, "--sample", std::to_string(kRecords)}, source.path());
  ASSERT_EQ(w.exit_code, 0) << w.err;
  const std::string clean = ReadFile(source / format.file);
  const std::string ini =
      "[Rep]\nOutput=CSV\nOutputFilename=out.csv\nDataPath=" + std::string(format.file) +
      "\nReportField1=Organization Name\nReportField2=Status\n"
      "ReportField3=Event Notes\nReportField4=Permanent Notes\nReportField5=Event Kill Date\n"
      "ReportField6=Event Update Time\nReportField7=Zip Code\nReportField8=End\n";

  std::map<std::string, int> outcomes;
  std::vector<std::string> faults;
  std::mutex mu;
  std::atomic<int> next{0};
  auto worker = [&] {
    TempDir dir;
    WriteFile(dir / "TavrinReport.ini", ini);
    for (int i; (i = next++) < mutants;) {
      std::string kind;
      const std::string mutant = Mutate(clean, format.page_size, seed + static_cast<uint64_t>(i), &kind);
      WriteFile(dir / format.file, mutant);
      std::remove((dir / "out.csv").c_str());
      const RunResult r = RunProgram(ReportBinary(), {"--unattended", "Rep"}, dir.path(), "", kTimeLimitSeconds, {},
                                     SignalOn{kQueryRefused, SIGTERM});
      std::string outcome, fault;
      const bool refused = r.err.find(kQueryRefused) != std::string::npos;
      if (r.exit_code == 0) {
        const size_t records = Count(ReadFile(dir / "out.csv"), kRecordEnd);
        outcome = "complete report";
        if (records < static_cast<size_t>(kRecords)) fault = "succeeded with " + std::to_string(records) + " records";
      } else if (r.exit_code == 143 && refused) {
        outcome = "query refused (data access error)";
      } else if (r.exit_code == 1 && r.err.find("Database open FAILURE!") != std::string::npos) {
        outcome = "open refused (COM Error box)";
      } else if (r.exit_code == 1) {
        outcome = "report refused (other box)";
      } else {
        outcome = r.exit_code == 128 + SIGKILL ? "time-out" : "exit " + std::to_string(r.exit_code);
        fault = outcome;
      }
      if (ReadFile(dir / format.file) != mutant) fault += " changed the source file;";
      if (!r.out.empty()) fault += " wrote to standard output: " + r.out.substr(0, 200) + ";";
      std::istringstream lines(r.err);
      for (std::string line; std::getline(lines, line);)
        if (IsRawLine(line)) fault += " printed raw: '" + line.substr(0, 200) + "';";
      std::lock_guard<std::mutex> lock(mu);
      ++outcomes[outcome];
      if (!fault.empty())
        faults.push_back("mutant " + std::to_string(i) + " (" + kind + ", seed " +
                         std::to_string(seed + static_cast<uint64_t>(i)) + "): " + fault + "\n" + r.err);
    }
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) workers.emplace_back(worker);
  for (auto& t : workers) t.join();

  std::string summary = std::to_string(mutants) + " mutants of " + format.name + ":";
  for (const auto& [outcome, count] : outcomes) summary += "\n  " + outcome + ": " + std::to_string(count);
  std::printf("%s\n", summary.c_str());
  for (const auto& f : faults) ADD_FAILURE() << f;
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults";
}

INSTANTIATE_TEST_SUITE_P(Formats, MutationTest,
                         testing::Values(Format{"jet4", "Vesk.mdb", 4096}, Format{"ace14", "Vesk.accdb", 4096},
                                         Format{"jet3", "Vesk.mdb", 2048}),
                         [](const testing::TestParamInfo<Format>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tavrin::test
