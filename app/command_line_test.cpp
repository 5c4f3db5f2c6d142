#include "app/command_line.h"

#include <gtest/gtest.h>

namespace tavrin {
namespace {

TEST(CommandLineTest, ShortAndLongOptionsAreNeverReportNames) {
  CommandLine cl = ParseCommandLine({"-h"});
  EXPECT_TRUE(cl.help);
  EXPECT_EQ(cl.report, "");
  cl = ParseCommandLine({"-V"});
  EXPECT_TRUE(cl.version);
  EXPECT_EQ(cl.report, "");
  cl = ParseCommandLine({"-x"});
  EXPECT_EQ(cl.error, "unknown option '-x'");
  EXPECT_EQ(cl.report, "");
}

TEST(CommandLineTest, NamesAfterTheEndOfOptionsOrALoneDashAreReports) {
  EXPECT_EQ(ParseCommandLine({"--", "-h"}).report, "-h");
  EXPECT_FALSE(ParseCommandLine({"--", "-h"}).help);
  EXPECT_EQ(ParseCommandLine({"-"}).report, "-");
}

TEST(CommandLineTest, CheckTakesTheReportLikeARun) {
  CommandLine cl = ParseCommandLine({"--check", "Web"});
  EXPECT_TRUE(cl.check);
  EXPECT_EQ(cl.report, "Web");
  cl = ParseCommandLine({"--check"});
  EXPECT_TRUE(cl.check);
  EXPECT_EQ(cl.report, "");
  // Options do not count: one name is still one report.
  EXPECT_EQ(ParseCommandLine({"Web", "--check", "--unattended"}).report, "Web");
}

TEST(CommandLineTest, AsServiceOnlyChangesACheck) {
  CommandLine cl = ParseCommandLine({"--as-service", "--check", "Web"});
  EXPECT_TRUE(cl.as_service);
  EXPECT_TRUE(cl.check);
  EXPECT_EQ(cl.report, "Web");
  EXPECT_EQ(ParseCommandLine({"--as-service", "Web"}).error, "--as-service goes with --check");
}

TEST(CommandLineTest, StatusTakesJsonAndExcludesACheck) {
  CommandLine cl = ParseCommandLine({"--json", "--status", "Web"});
  EXPECT_TRUE(cl.status && cl.json);
  EXPECT_EQ(cl.report, "Web");
  EXPECT_EQ(cl.error, "");
  EXPECT_EQ(ParseCommandLine({"--json"}).error, "--json goes with --status");
  EXPECT_EQ(ParseCommandLine({"--status", "--check"}).error, "--status and --check exclude each other");
}

TEST(CommandLineTest, TheWindowAndTheTwoModesExcludeEachOther) {
  EXPECT_TRUE(ParseCommandLine({"--window", "Web"}).window);
  EXPECT_EQ(ParseCommandLine({"--window", "Web"}).error, "");
  for (const char* mode : {"--unattended", "--interactive"})
    EXPECT_EQ(ParseCommandLine({"--window", mode}).error,
              "--window, --unattended and --interactive exclude each other")
        << mode;
  EXPECT_EQ(ParseCommandLine({"--unattended", "--interactive"}).error,
            "--window, --unattended and --interactive exclude each other");
}

TEST(CommandLineTest, TwoNamesMeanTheScheduleAndAreWarnedOf) {
  CommandLine cl = ParseCommandLine({"Good", "--unattended", "BadField"});
  EXPECT_EQ(cl.report, "");
  EXPECT_EQ(SeveralReportsWarning(cl),
            "Only one report can be named on the command line; with 2 (\"Good\", \"BadField\") the "
            "reports of [Report Schedule] run instead.");
  EXPECT_EQ(SeveralReportsWarning(ParseCommandLine({"Good"})), "");
  EXPECT_EQ(SeveralReportsWarning(ParseCommandLine({})), "");
}

}  // namespace
}  // namespace tavrin
