// End-to-end: a schedule entry with Report On ChangeNN=Yes runs soon after
// its source is replaced, as an editor or a copy tool saves it: a new file
// renamed onto the old one.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

TEST(OnChangeTest, AReportRunsWithinThreeSecondsOfItsSourceReplacedByARename) {
  TempDir dir;
  for (const auto& [file, rows] : {std::pair{"Vesk.mdb", "3"}, std::pair{"next.mdb", "5"}}) {
    const RunResult w = RunProgram(MdbWriteBinary(), {file, "--sample", rows}, dir.path());
    ASSERT_EQ(w.exit_code, 0) << w.err;
  }
  WriteFile(dir / "TavrinReport.ini",
            "[Report Schedule]\nReport Name01=Watch\nMinutes Between Reports01=60\nReport On Change01=Yes\n"
            "[Watch]\nOutput=CSV\nOutputFilename=out.csv\nReportField1=Organization Name\n");
  using Clock = std::chrono::steady_clock;
  Clock::time_point renamed, rerun;
  std::string first_output;
  const RunResult r = RunProgramSteps(
      ReportBinary(), {"--unattended"}, dir.path(),
      {{"Watch: 3 organizations written to out.csv",
        [&](int) {
          first_output = ReadFile(dir / "out.csv");
          ASSERT_EQ(std::rename((dir / "next.mdb").c_str(), (dir / "Vesk.mdb").c_str()), 0);
          renamed = Clock::now();
        }},
       {"Watch: 5 organizations written to out.csv",
        [&](int pid) {
          rerun = Clock::now();
          kill(pid, SIGTERM);
        }}},
      30);
  EXPECT_EQ(r.exit_code, 143) << r.err;
  ASSERT_NE(rerun, Clock::time_point()) << r.err;
  EXPECT_LT(std::chrono::duration<double>(rerun - renamed).count(), 3.0) << r.err;
  EXPECT_NE(r.err.find("Watch: runs also when " + dir.path() + "/Vesk.mdb changes"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Watch: " + dir.path() + "/Vesk.mdb has changed"), std::string::npos) << r.err;
  const std::string output = ReadFile(dir / "out.csv");
  EXPECT_EQ(std::count(first_output.begin(), first_output.end(), '\n'), 3) << first_output;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 5) << output;
}

}  // namespace
}  // namespace tavrin::test
