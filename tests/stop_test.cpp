// End-to-end: a stop (SIGTERM, SIGINT) is not a report. Whatever the run
// would have replaced stays as it was, byte for byte, and the log says so.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

// Enough for outputs of a few MB. The runs are held at a status until their
// stop, so a stop lands mid-report at any size.
constexpr int kRows = 20000;

const char kIni[] =
    "[Big]\nOutput=CSV\nOutputFilename=big.csv\n"
    "ReportField1=Status\nReportField2=Organization Name\nReportField3=Town\\City\n"
    "ReportField4=County\nReportField5=Category\nReportField6=Event Notes\n"
    "[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=head.xml\nTrailerFile=tail.xml\n"
    "ReportField1=Status\nReportField2=Organization Name\nReportField3=Town\\City\n"
    "ReportField4=County\nReportField5=Category\nReportField6=Event Notes\n"
    "[Page]\nOutput=HTML\nOutputFilename=page.html\n";

// One database for the whole suite.
class StopTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    const RunResult w =
        RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", std::to_string(kRows)}, dir_->path(), "", 120);
    ASSERT_EQ(w.exit_code, 0) << w.err;
    WriteFile(*dir_ / "head.xml", "<feed>\n");
    WriteFile(*dir_ / "tail.xml", "</feed>\n");
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override { WriteFile(*dir_ / "TavrinReport.ini", kIni); }

  // Runs `report`; with `signal`, the run is held at the status that
  // `signal` waits for until the stop request has come, so it cannot
  // finish before the signal lands however fast it is.
  static RunResult Run(const std::string& report, const std::optional<SignalOn>& signal = std::nullopt) {
    std::map<std::string, std::string> env;
    if (signal) env["TAVRIN_HOLD_AT_STATUS"] = signal->text;
    return RunProgram(ReportBinary(), {"--unattended", report}, dir_->path(), "", 120, env, signal);
  }

  static std::vector<std::string> Temporaries() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_->path()))
      if (entry.path().extension() == ".tmp") names.push_back(entry.path().filename());
    return names;
  }

  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  // Makes the complete output of `report`, then stops a run of it with
  // SIGTERM and one with SIGINT once its log holds `at`.
  static void StopsKeepTheCompleteOutput(const std::string& report, const std::string& file,
                                         const std::string& at) {
    const RunResult complete = Run(report);
    ASSERT_EQ(complete.exit_code, 0) << complete.err;
    const std::string previous = ReadFile(*dir_ / file);
    ASSERT_GT(previous.size(), 100000u);
    for (const int sig : {SIGTERM, SIGINT}) {
      SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
      const RunResult r = Run(report, SignalOn{at, sig});
      EXPECT_EQ(r.exit_code, 128 + sig) << r.err;
      EXPECT_TRUE(ReadFile(*dir_ / file) == previous) << "the previous output changed";
      EXPECT_EQ(Temporaries(), std::vector<std::string>());
      EXPECT_EQ(Count(r.err, report + ": stopped before the report was finished; " + file +
                                 " is kept as it was\n"),
                1u)
          << r.err;
      EXPECT_EQ(Count(r.err, "stopped before"), 1u) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }

  static std::unique_ptr<TempDir> dir_;
};

std::unique_ptr<TempDir> StopTest::dir_;

TEST_F(StopTest, DelimitedFileUnderWayIsDiscarded) {
  StopsKeepTheCompleteOutput("Big", "big.csv", "Processing 0 of 20000");
}

TEST_F(StopTest, XmlFileUnderWayIsDiscarded) {
  StopsKeepTheCompleteOutput("Feed", "feed.xml", "Processing 0 of 20000");
}

TEST_F(StopTest, HtmlPageIsKept) {
  // The page shows no per-record status; the stop comes as the query starts.
  StopsKeepTheCompleteOutput("Page", "page.html", "Querying Data");
}

TEST_F(StopTest, NextRunRemovesTheTemporaryFileOfAKilledWriterOnly) {
  const RunResult killed = Run("Big", SignalOn{"Processing 0 of 20000", SIGKILL});
  ASSERT_EQ(killed.exit_code, 128 + SIGKILL);
  const std::vector<std::string> left = Temporaries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].substr(0, 9), ".big.csv.");
  // One of a writer that still runs: this test.
  const std::string running = ".big.csv." + std::to_string(getpid()) + ".0123456789abcdef.tmp";
  WriteFile(*dir_ / running, "half");

  const RunResult next = Run("Big");
  EXPECT_EQ(next.exit_code, 0) << next.err;
  EXPECT_EQ(Temporaries(), std::vector<std::string>{running});
  std::filesystem::remove(*dir_ / running);
}

}  // namespace
}  // namespace tavrin::test
