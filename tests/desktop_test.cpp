// End-to-end: the desktop window of the real program on a virtual display
// (Xvfb). Screenshots of each state are kept in the build folder
// (tests/desktop-screenshots/), for a person to look at.

#include <fcntl.h>
#include <stdio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "tests/harness.h"
#include "tests/print_server.h"

namespace tavrin::test {
namespace {

constexpr int kRows = 200000;

// The full path of `program` on $PATH, or "".
std::string Which(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(':', start);
    const std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

// An X server of its own for the suite, on the first free display number.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const std::string fd = std::to_string(fds[1]);
      fcntl(fds[1], F_SETFD, 0);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      // -noreset: by default the server resets whenever its last client
      // leaves, and a client that connects during a reset is refused. The
      // tests' own short-lived clients (xwininfo, import, xdotool) would
      // make it reset again and again while the program under test opens
      // the display, which then failed now and then (one connection in
      // seven, measured with a loop of xwininfo beside it).
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-screen", "0", "800x600x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& name() const { return name_; }  // "" when it did not start

 private:
  pid_t pid_ = -1;
  std::string name_;
};

class DesktopTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string bin = ReportBinary();
    if (Which("Xvfb").empty()) {
      skip_ = "Xvfb is not installed (package xvfb)";
    } else if (Which("xwininfo").empty() || Which("import").empty() || Which("compare").empty()) {
      skip_ = "xwininfo (x11-utils) or import and compare (imagemagick) are not installed";
    } else if (access((bin.substr(0, bin.rfind('/')) + "/tavrin-report-window").c_str(), X_OK) != 0) {
      skip_ = "the desktop window is not built (TAVRIN_DESKTOP=OFF)";
    }
    if (!skip_.empty()) return;
    display_ = std::make_unique<VirtualDisplay>();
    if (display_->name().empty()) {
      skip_ = "Xvfb did not start";
      return;
    }
    dir_ = std::make_unique<TempDir>();
    std::filesystem::create_directories(kShots);
    // Written once for every run of the suite (each test runs in a process
    // of its own), put in place whole and never replaced: a test that
    // reads it must not see it change.
    if (!FileExists(Database())) {
      const RunResult w = RunProgram(MdbWriteBinary(), {"rows.mdb", "--sample", std::to_string(kRows)},
                                     dir_->path(), "", 120);
      ASSERT_EQ(w.exit_code, 0) << w.err;
      // Moved, not linked: a link would tie the file's status to this
      // process's temporary folder, whose removal would look like a change
      // of the source to a test that reads it.
      renameat2(AT_FDCWD, (*dir_ / "rows.mdb").c_str(), AT_FDCWD, Database().c_str(), RENAME_NOREPLACE);
    }
  }
  // Beside the screenshots, not among them.
  static std::string Database() { return std::string(kShots) + "/../desktop-organizations.mdb"; }
  // Report "Small": the closed organizations, into small.csv.
  static std::string SmallIni() {
    return "[Small]\nOutput=CSV\nOutputFilename=small.csv\nWhere=Status = 'Closed'\nDataPath=" + Database() +
           "\nReportField1=Organization Name\n";
  }
  // Report "Big": every organization, into big.csv.
  static std::string BigIni() {
    return "[Big]\nOutput=CSV\nOutputFilename=big.csv\nDataPath=" + Database() +
           "\nReportField1=Status\nReportField2=Organization Name\nReportField3=Town\\City\n";
  }
  static void TearDownTestSuite() {
    dir_.reset();
    display_.reset();
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  static RunResult RunWindow(const std::string& ini, const std::vector<std::string>& args,
                             std::map<std::string, std::string> env = {},
                             const std::optional<SignalOn>& signal = std::nullopt) {
    WriteFile(*dir_ / "TavrinReport.ini", ini);
    env["DISPLAY"] = display_->name();
    return RunProgram(ReportBinary(), args, dir_->path(), "", 120, env, signal);
  }

  // The names of the windows on the display, one a line.
  static std::string WindowNames() {
    return RunProgram(Which("xwininfo"), {"-display", display_->name(), "-root", "-tree"}, "/").out;
  }

  // The id of the window captioned exactly `caption` once it is shown on
  // the display (the tree lists windows before they are mapped, too); ""
  // when none came within `seconds`.
  static std::string WaitForWindow(const std::string& caption, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      // A line of the tree: `     0x2a00007 "Print": ("tavrin-report" ...`.
      const std::string names = WindowNames();
      last_names_ = names;
      const size_t at = names.find(" \"" + caption + "\":");
      if (at != std::string::npos) {
        const size_t line = names.rfind('\n', at) + 1;  // 0 on the first line
        const size_t start = names.find_first_not_of(' ', line);
        const std::string id = names.substr(start, names.find(' ', start) - start);
        const RunResult info = RunProgram(Which("xwininfo"), {"-display", display_->name(), "-id", id}, "/");
        if (info.out.find("Map State: IsViewable") != std::string::npos) return id;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
  }

  static bool Screenshot(const std::string& file) {
    return RunProgram(Which("import"), {"-display", display_->name(), "-window", "root", file}, "/")
               .exit_code == 0;
  }

  // Takes screenshots named `prefix`-N.png, one after the other, while a
  // window whose caption starts with one of `captions` is on the display,
  // until `done`; returns their files.
  static std::vector<std::string> ShootWhileShown(const std::vector<std::string>& captions,
                                                  const std::string& prefix, const std::atomic<bool>& done,
                                                  size_t most = 12) {
    std::vector<std::string> shots;
    while (!done && shots.size() < most) {
      const std::string names = WindowNames();
      last_names_ = names;
      if (std::none_of(captions.begin(), captions.end(), [&names](const std::string& caption) {
            return names.find("\"" + caption) != std::string::npos;
          }))
        continue;
      const std::string file = std::string(kShots) + "/" + prefix + "-" + std::to_string(shots.size()) + ".png";
      if (Screenshot(file)) shots.push_back(file);
    }
    return shots;
  }

  static constexpr const char* kShots = TAVRIN_DESKTOP_SCREENSHOTS;
  static std::string skip_;
  static inline std::string last_names_;
  static std::unique_ptr<VirtualDisplay> display_;
  static std::unique_ptr<TempDir> dir_;
};

std::string DesktopTest::skip_;
std::unique_ptr<VirtualDisplay> DesktopTest::display_;
std::unique_ptr<TempDir> DesktopTest::dir_;

TEST_F(DesktopTest, ALongReportShowsItsProgressAndEnds) {
  std::atomic<bool> done{false};
  std::vector<std::string> shots;
  std::thread shooter([&] { shots = ShootWhileShown({"TavrinReportGenerator"}, "running", done); });
  const RunResult r = RunWindow(BigIni(), {"--window", "Big"});
  done = true;
  shooter.join();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("Processing "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" of 200000"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("cannot open the display"), std::string::npos) << r.err;
  const std::string csv = ReadFile(*dir_ / "big.csv");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), kRows);
  // The window was there, and the bar or the status moved between the
  // first screenshot and the last.
  ASSERT_GE(shots.size(), 2u) << "the main window was not seen on the display";
  const RunResult diff = RunProgram(Which("compare"), {"-metric", "AE", shots.front(), shots.back(), "null:"}, "/");
  EXPECT_EQ(diff.exit_code, 1) << "the window did not change: " << diff.err;
}

TEST_F(DesktopTest, AFailedQueryShowsTheSelfClosingWindowAndTheScheduleGoesOn) {
  const std::string ini = "[Report Schedule]\nReport Name01=Broken\nMinutes Between Reports01=0\n"
                          "Report Name02=Small\nMinutes Between Reports02=0\n"
                          "[Broken]\nOutput=CSV\nOutputFilename=broken.csv\nWhere=NoSuchColumn = 1\n"
                          "DataPath=" + Database() + "\n" + SmallIni();
  std::filesystem::remove(*dir_ / "small.csv");
  std::atomic<bool> done{false};
  std::vector<std::string> shots;
  std::thread shooter([&] { shots = ShootWhileShown({"Error!", "Message will close in"}, "error", done, 2); });
  const RunResult r = RunWindow(ini, {"--window"});
  done = true;
  shooter.join();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("] There was a data access error encountered"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("cannot open the display"), std::string::npos) << r.err;
  EXPECT_FALSE(shots.empty()) << "no window counting down was seen" << last_names_;
  EXPECT_TRUE(FileExists(*dir_ / "small.csv")) << "the report after the failed one did not run: " << r.err;
}

TEST_F(DesktopTest, SigtermDuringARunKeepsThePreviousOutput) {
  const RunResult complete = RunWindow(BigIni(), {"--window", "Big"});
  ASSERT_EQ(complete.exit_code, 0) << complete.err;
  const std::string previous = ReadFile(*dir_ / "big.csv");
  std::atomic<bool> done{false};
  std::vector<std::string> shots;
  std::thread shooter([&] { shots = ShootWhileShown({"TavrinReportGenerator"}, "stopping", done, 1); });
  const std::string at = "Processing 0 of 200000";
  const RunResult r =
      RunWindow(BigIni(), {"--window", "Big"}, {{"TAVRIN_HOLD_AT_STATUS", at}}, SignalOn{at, SIGTERM});
  done = true;
  shooter.join();
  EXPECT_EQ(r.exit_code, 128 + SIGTERM) << r.err;
  EXPECT_TRUE(ReadFile(*dir_ / "big.csv") == previous) << "the previous output changed";
  EXPECT_NE(r.err.find("Big: stopped before the report was finished; big.csv is kept as it was"),
            std::string::npos)
      << r.err;
}

TEST_F(DesktopTest, ADisplayThatCannotOpenFallsBackToTheLogWithOneNotice) {
  WriteFile(*dir_ / "TavrinReport.ini", SmallIni());
  const RunResult r =
      RunProgram(ReportBinary(), {"--window", "Small"}, dir_->path(), "", 120, {{"DISPLAY", ":4711"}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  size_t notices = 0;
  for (size_t at = r.err.find("cannot open the display"); at != std::string::npos;
       at = r.err.find("cannot open the display", at + 1))
    ++notices;
  EXPECT_EQ(notices, 1u) << r.err;
  EXPECT_NE(r.err.find("Small: "), std::string::npos) << r.err;
}

TEST_F(DesktopTest, WithoutTheWindowProgramTheRunIsLoggedWithOneNotice) {
  TempDir alone;
  std::filesystem::copy_file(ReportBinary(), alone / "tavrin-report");
  std::filesystem::permissions(alone / "tavrin-report", std::filesystem::perms::owner_all);
  WriteFile(*dir_ / "TavrinReport.ini", SmallIni());
  const RunResult r = RunProgram(alone / "tavrin-report", {"--window", "Small"}, dir_->path(), "", 120,
                                 {{"DISPLAY", display_->name()}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("The desktop window is not installed (package tavrin-report-desktop)"),
            std::string::npos)
      << r.err;
}

// The words of printed pages with their places, one a line, to compare two
// printings whole.
std::string Describe(const std::vector<PrintedPage>& pages) {
  std::string text;
  char line[160];
  for (const PrintedPage& page : pages) {
    std::snprintf(line, sizeof line, "page %.1f x %.1f\n", page.width, page.height);
    text += line;
    for (const PrintedWord& w : page.words) {
      std::snprintf(line, sizeof line, "  %.2f %.2f %.2f %.2f ", w.x_min, w.y_min, w.x_max, w.y_max);
      text += line + w.text + "\n";
    }
  }
  return text;
}

// The print dialog of a printed report, answered from the keyboard as a
// person would: Return takes the printer it offers, the server's default;
// the initial of another printer in the printer box (Alt+N) takes that one.
// Either way the listing is the one printed without the dialog.
TEST_F(DesktopTest, ThePrintDialogsOkPrintsTheListingOnThePrinterChosen) {
  if (Which("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed (package xdotool)";
  PrintServer server;
  server.AddQueue("listing");
  server.AddQueue("wall");
  server.SetDefault("wall");
  WriteOrgDatabase(*dir_, kThreeOrganizations);
  const std::string ini = "[Printed]\nOutput=Printer\nReportField1=Organization Name\nReportFieldLength1=24\n"
                          "ReportField2=Status\n";
  const std::map<std::string, std::string> env = server.ClientEnv();

  WriteFile(*dir_ / "TavrinReport.ini", ini);
  const RunResult plain =
      RunProgram(ReportBinary(), {"--unattended", "--printer", "wall", "Printed"}, dir_->path(), "", 60, env);
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  ASSERT_TRUE(server.WaitForJobs()) << server.Log();
  const std::vector<PrintedPage> pages = ReadPrintedPages(server.OutputOf("wall"));
  ASSERT_EQ(pages.size(), 1u) << server.Log();
  // Characters 0.6 em wide at 10 points, from 40 points (at 600 dpi).
  EXPECT_EQ(PageLines(pages[0], 333 * 72.0 / 600, 0.6 * 83 * 72.0 / 600),
            (std::vector<std::string>{"Organization Name       Status", "Springfield Elementary Closed",
                                      "City Hall              Open", "O'Brien's Daycare      Delayed"}));
  const std::string expected = Describe(pages);
  std::filesystem::remove(server.OutputOf("wall"));

  struct Case {
    std::vector<std::string> keys;
    std::string queue;
  };
  for (const Case& c : {Case{{"Return"}, "wall"}, Case{{"alt+n", "l", "Return"}, "listing"}}) {
    SCOPED_TRACE(c.queue);
    RunResult r;
    std::thread run([&] { r = RunWindow(ini, {"--window", "Printed"}, env); });
    const std::string dialog = WaitForWindow("Print", 30);
    if (!dialog.empty()) {
      Screenshot(std::string(kShots) + "/print-dialog-" + c.queue + ".png");
      // No window manager runs: the dialog is given the focus, and the keys
      // go to whatever has it, as typed keys do.
      std::vector<std::string> args = {"windowfocus", "--sync", dialog, "key", "--delay", "50"};
      args.insert(args.end(), c.keys.begin(), c.keys.end());
      const RunResult keys = RunProgram(Which("xdotool"), args, "/", "", 30, {{"DISPLAY", display_->name()}});
      EXPECT_EQ(keys.exit_code, 0) << keys.err;
    }
    run.join();
    ASSERT_FALSE(dialog.empty()) << "the print dialog was not seen: " << last_names_ << r.err;
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("Printed: 3 organizations printed on " + c.queue + " in "), std::string::npos) << r.err;
    ASSERT_TRUE(server.WaitForJobs()) << server.Log();
    EXPECT_EQ(Describe(ReadPrintedPages(server.OutputOf(c.queue))), expected);
    std::filesystem::remove(server.OutputOf(c.queue));
  }
  EXPECT_FALSE(FileExists(server.OutputOf("wall"))) << "a second job went to the default printer";
}

}  // namespace
}  // namespace tavrin::test
