// End-to-end: start-up, command line, INI write-back and exit statuses of
// the real program.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

RunResult Report(const TempDir& dir, std::vector<std::string> args, int timeout = 60) {
  args.insert(args.begin(), "--unattended");
  return RunProgram(ReportBinary(), args, dir.path(), "", timeout);
}

TEST(CliTest, EmptyFolderCreatesTheScheduleSectionAndRefuses) {
  TempDir dir;
  const RunResult r = Report(dir, {});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(ReadFile(dir / "TavrinReport.ini"),
            "[Report Schedule]\nReport Name01=\nMinutes Between Reports01=1\n");
  EXPECT_NE(r.err.find("[Invalid Invocation Of App] You must either specify a report name on the "
                       "command line,\nor have atleast one report name in the schedule section "
                       "\nof the ini."),
            std::string::npos)
      << r.err;
}

TEST(CliTest, UnknownReportWritesItsSectionAndIsRefused) {
  TempDir dir;
  const std::string ini = "[Report Schedule]\r\nReport Name01=Other\r\n";
  WriteFile(dir / "TavrinReport.ini", ini);
  const RunResult r = Report(dir, {"Daily"});
  EXPECT_EQ(r.exit_code, 2);
  std::string expected = ini +
                         "\r\n[TavrinReportGenerator]\r\nOutput-Year-First=No\r\n"
                         "\r\n[Daily]\r\nWhere=ALL\r\nOutput=INVALID\r\n"
                         "OutputFilename=" + dir.path() + "/Daily-Report.csv\r\n"
                         "HeaderFile=\r\nTrailerFile=\r\nRecordDelimiterOpen=<name>\r\n"
                         "RecordDelimiterClose=</name>\r\n"
                         "XMLDateFormatComment=Possible Values Old, Vibes, YYYY/DD/MM, "
                         "MM/DD/YYYY, YYYY-MM-DD HH:MM:SS\r\n"
                         "XMLDateFormat=Old\r\nDataPath=" + dir.path() + "/Vesk.mdb\r\n"
                         "DestinationDBConnectString=NONE\r\n";
  for (int n = 1; n <= 24; ++n) expected += "ReportField" + std::to_string(n) + "=!BLANK!\r\n";
  EXPECT_EQ(ReadFile(dir / "TavrinReport.ini"), expected);
  EXPECT_NE(r.err.find("[tavrin-report] Either a non-existant report has been selected or no "
                       "Output method has been\nconfigured.  The program will now exit.\n"
                       "Valid output types are: SQLServer (internet), CSV (for reports) or "
                       "Printer."),
            std::string::npos)
      << r.err;
}

TEST(CliTest, OptionsHelpVersionAndUsageErrors) {
  TempDir dir;
  RunResult r = RunProgram(ReportBinary(), {"--help"}, dir.path());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Usage: tavrin-report"), std::string::npos);
  r = RunProgram(ReportBinary(), {"--version"}, dir.path());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("7.000"), std::string::npos);
  r = RunProgram(ReportBinary(), {"--bogus"}, dir.path());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("unknown option '--bogus'"), std::string::npos);
  r = RunProgram(ReportBinary(), {"Daily", "--printer"}, dir.path());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("--printer needs the name of a printer"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(dir / "TavrinReport.ini"));

  // After "--" a name that looks like an option is a report name.
  r = Report(dir, {"--", "--odd"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(ReadFile(dir / "TavrinReport.ini").find("[--odd]"), std::string::npos);
}

TEST(CliTest, TwoArgumentsOrAnEmptyOneMeanTheSchedule) {
  TempDir dir;
  RunResult r = Report(dir, {"A", "B"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("[Invalid Invocation Of App]"), std::string::npos);
  r = Report(dir, {""});
  EXPECT_NE(r.err.find("[Invalid Invocation Of App]"), std::string::npos);
}

TEST(CliTest, SigtermEndsARepeatingScheduleWith143) {
  TempDir dir;
  WriteFile(dir / "TavrinReport.ini",
            "[Report Schedule]\nReport Name01=Daily\nMinutes Between Reports01=5\n"
            "[Daily]\nOutput=CSV\nDataPath=" + dir.path() + "/missing.mdb\n");
  const RunResult r = RunProgram("/usr/bin/timeout",
                          {"--preserve-status", "-s", "TERM", "3", ReportBinary(), "--unattended"},
                          dir.path());
  EXPECT_EQ(r.exit_code, 143) << r.err;
  EXPECT_NE(r.err.find("Database open FAILURE!"), std::string::npos) << r.err;
}

TEST(CliTest, IniInAFolderThatCannotBeWrittenGivesThePermissionError) {
  TempDir dir;
  WriteFile(dir / "TavrinReport.ini", "[Daily]\nOutput=INVALID\n");
  // As root every folder is writable, so the program runs as nobody in a
  // folder that stays root's.
  std::vector<std::string> args = {"--unattended", "Daily"};
  std::string program = ReportBinary();
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
    program = "/usr/bin/setpriv";
    if (RunProgram(program, {args[0], args[1], args[2], args[3], "--version"}, dir.path()).exit_code != 0)
      GTEST_SKIP() << "the program cannot be run as nobody from " << ReportBinary();
  } else {
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  }
  const RunResult r = RunProgram(program, args, dir.path());
  chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  const std::string warning = "TavrinReport: cannot write " + dir.path() + "/TavrinReport.ini: Permission denied\n";
  const size_t at = r.err.find(warning);
  EXPECT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(warning, at + 1), std::string::npos) << "said once: " << r.err;
  EXPECT_EQ(ReadFile(dir / "TavrinReport.ini"), "[Daily]\nOutput=INVALID\n");
}

}  // namespace
}  // namespace tavrin::test
