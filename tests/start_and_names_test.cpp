// End-to-end: the program started with closed standard streams or stopped
// at once, output names as long as the file system takes, a read-only INI
// and a working folder too long for the defaults built from it.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

const char kDailyCsv[] = "[Daily]\nOutput=CSV\nReportField1=Organization Name\n";

class StartAndNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", "5"}, dir_.path());
    ASSERT_EQ(w.exit_code, 0) << w.err;
  }

  // The entries of the folder whose names start with ".".
  std::vector<std::string> Hidden() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename();
      if (name[0] == '.') names.push_back(name);
    }
    return names;
  }

  TempDir dir_;
};

TEST_F(StartAndNamesTest, ClosedStandardStreamsStillRunTheReport) {
  for (const std::string redirections : {">&- 2>&-", "<&- >&- 2>&-"}) {
    WriteFile(dir_ / "TavrinReport.ini", kDailyCsv);
    std::filesystem::remove(dir_ / "Daily-Report.csv");
    const RunResult r = RunProgram(
        "/bin/sh", {"-c", "exec \"$0\" --unattended Daily " + redirections, ReportBinary()},
        dir_.path());
    EXPECT_EQ(r.exit_code, 0) << redirections;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(FileExists(dir_ / "Daily-Report.csv")) << redirections;
    const std::string csv = ReadFile(dir_ / "Daily-Report.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5) << csv;
  }
}

// Starts the program in `dir` with the stop signal `sig` already sent: the
// child blocks it and sends it to itself before exec, so it is pending from
// the program's first instruction on, and the program meets it as soon as
// it unblocks it.
int ExitWithSignalPendingAtStart(const std::string& dir, int sig) {
  const std::string program = ReportBinary();
  const pid_t pid = fork();
  if (pid == 0) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    kill(getpid(), sig);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execl(program.c_str(), program.c_str(), "--unattended", "Daily", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

TEST_F(StartAndNamesTest, StopSignalAtTheFirstMomentEndsWithItsExitStatus) {
  WriteFile(dir_ / "TavrinReport.ini", kDailyCsv);
  EXPECT_EQ(ExitWithSignalPendingAtStart(dir_.path(), SIGTERM), 143);
  EXPECT_EQ(ExitWithSignalPendingAtStart(dir_.path(), SIGINT), 130);
  EXPECT_EQ(Hidden(), std::vector<std::string>{});
}

TEST_F(StartAndNamesTest, OutputNamesUpToTheFileSystemLimitArePublishedLongerOnesRefusedByCheck) {
  const std::string name = std::string(246, 'n') + ".csv";
  WriteFile(dir_ / "TavrinReport.ini", std::string(kDailyCsv) + "OutputFilename=" + name + "\n");
  RunResult r = RunProgram(ReportBinary(), {"--check", "Daily"}, dir_.path());
  EXPECT_EQ(r.exit_code, 0) << r.out;
  r = RunProgram(ReportBinary(), {"--unattended", "Daily"}, dir_.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(FileExists(dir_ / name)) << r.err;
  // Published again over the first: the temporary file of a long name is
  // taken and renamed the same way.
  r = RunProgram(ReportBinary(), {"--unattended", "Daily"}, dir_.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Hidden(), std::vector<std::string>{});

  const std::string too_long = std::string(252, 'n') + ".csv";
  WriteFile(dir_ / "TavrinReport.ini", std::string(kDailyCsv) + "OutputFilename=" + too_long + "\n");
  r = RunProgram(ReportBinary(), {"--check", "Daily"}, dir_.path());
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_NE(r.out.find("  error: [Daily] OutputFilename = \"" + too_long + "\": the name \"" + too_long +
                       "\" is 256 bytes long; the file system takes at most 255\n"),
            std::string::npos)
      << r.out;
}

TEST_F(StartAndNamesTest, ReadOnlyIniIsLeftByteForByteAndItsDefaultsServe) {
  // As root too: read-only is the file's own marking, not who may override it.
  const std::string ini = "[Daily]\r\nOutput=CSV\r\n";
  WriteFile(dir_ / "TavrinReport.ini", ini);
  ASSERT_EQ(chmod((dir_ / "TavrinReport.ini").c_str(), 0444), 0);
  struct stat before {};
  ASSERT_EQ(stat((dir_ / "TavrinReport.ini").c_str(), &before), 0);
  const RunResult r = RunProgram(ReportBinary(), {"--unattended", "Daily"}, dir_.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini"), ini);
  struct stat after {};
  ASSERT_EQ(stat((dir_ / "TavrinReport.ini").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_TRUE(FileExists(dir_ / "Daily-Report.csv")) << "the defaults served";
  const std::string notice = "TavrinReport: " + dir_.path() +
                             "/TavrinReport.ini is read-only: it is left as it is, and the keys it "
                             "lacks take their defaults\n";
  const size_t at = r.err.find(notice);
  EXPECT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(notice, at + 1), std::string::npos) << "said once: " << r.err;
  EXPECT_EQ(r.err.find("cannot write"), std::string::npos) << r.err;
}

TEST_F(StartAndNamesTest, WorkingFolderTooLongForTheDefaultsIsRefusedUnlessTheIniNamesTheFiles) {
  std::string deep = dir_.path();
  while (deep.size() + sizeof "/Daily-Report.csv" - 1 <= 299) {
    deep += "/" + std::string(90, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  }
  const std::string ini = kDailyCsv;
  WriteFile(deep + "/TavrinReport.ini", ini);
  RunResult r = RunProgram(ReportBinary(), {"--unattended", "Daily"}, deep);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("The working folder is too long for the default of OutputFilename, \"" + deep +
                       "/Daily-Report.csv\", which is longer than 299 bytes."),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(deep + "/TavrinReport.ini").find("OutputFilename"), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(deep))
    EXPECT_EQ(entry.path().filename().string().rfind("TavrinReport.ini", 0), 0u) << entry.path();
  r = RunProgram(ReportBinary(), {"--check", "Daily"}, deep);
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_NE(r.out.find("  error: [Daily] The working folder is too long for the default of "
                       "OutputFilename"),
            std::string::npos)
      << r.out;

  WriteFile(deep + "/TavrinReport.ini",
            ini + "OutputFilename=daily.csv\nDataPath=" + dir_.path() + "/Vesk.mdb\n");
  r = RunProgram(ReportBinary(), {"--unattended", "Daily"}, deep);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(FileExists(deep + "/daily.csv"));
}

}  // namespace
}  // namespace tavrin::test
