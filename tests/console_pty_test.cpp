// The program on a terminal: it draws its panel, asks with a box, reads the
// answer from the keyboard and gives the terminal back as it found it.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness.h"
#include "tests/print_server.h"

namespace tavrin::test {
namespace {

using namespace std::chrono_literals;

size_t Count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos + 1)) ++n;
  return n;
}

// The program running on a pseudo-terminal as its controlling terminal. The
// test keeps the terminal side open too, to look at its mode afterwards.
class TerminalRun {
 public:
  TerminalRun(const std::vector<std::string>& args, const std::string& cwd,
              const std::map<std::string, std::string>& env = {}) {
    winsize ws{};
    ws.ws_col = 100;
    ws.ws_row = 30;
    if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) throw std::runtime_error("openpty");
    if (tcgetattr(slave_, &initial_) != 0) throw std::runtime_error("tcgetattr");
    const std::string program = ReportBinary();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      setsid();
      ioctl(slave_, TIOCSCTTY, 0);
      dup2(slave_, 0);
      dup2(slave_, 1);
      dup2(slave_, 2);
      close(master_);
      if (chdir(cwd.c_str()) != 0) _exit(126);
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(slave_);
  }

  const std::string& output() const { return output_; }
  const termios& initial_mode() const { return initial_; }
  termios mode() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads the screen until `text` has appeared `times` times or `limit`
  // passes.
  bool WaitFor(const std::string& text, size_t times = 1, std::chrono::seconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Count(output_, text) < times) {
      if (std::chrono::steady_clock::now() > end) return false;
      Read(100);
    }
    return true;
  }

  // Reads the screen until the program has ended; its exit status, 128 plus
  // the signal that ended it, or -1 when it was still running after `limit`.
  int WaitForExit(std::chrono::seconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      Read(50);
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        while (Read(50)) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
    }
    return -1;
  }

 private:
  // Takes what the program drew within `ms`; false when there was nothing.
  bool Read(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }

  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
  int status_ = -1;
  termios initial_{};
  std::string output_;
};

void ExpectModeRestored(const TerminalRun& run) {
  const termios now = run.mode();
  EXPECT_EQ(now.c_lflag, run.initial_mode().c_lflag);
  EXPECT_EQ(now.c_iflag, run.initial_mode().c_iflag);
  EXPECT_EQ(now.c_oflag, run.initial_mode().c_oflag);
}

constexpr char kRefused[] = "Either a non-existant report has been selected";

TEST(ConsolePty, UnknownReportShowsPanelAndWarningThenEndsOnEnter) {
  TempDir dir;
  TerminalRun run({"Daily"}, dir.path());
  ASSERT_TRUE(run.WaitFor(kRefused)) << run.output();
  const std::string& out = run.output();
  for (const char* text : {"Report Name:", "Daily", "Status:", "Percent Complete:",
                           "Version 7.000", "tavrin-report"})
    EXPECT_NE(out.find(text), std::string::npos) << text << " missing in:\n" << out;
  // The scale under the bar: 0% at its left end, 100% at its right.
  EXPECT_TRUE(std::regex_search(out, std::regex("\x1b\\[2K {18}0% +100%\r"))) << "no scale in:\n" << out;
  EXPECT_NE(out.find("[-----"), std::string::npos) << "no empty progress bar in:\n" << out;
  // While the box waits, the terminal does not echo what is typed.
  EXPECT_FALSE(run.mode().c_lflag & ECHO);

  run.Type("\r");
  EXPECT_EQ(run.WaitForExit(), 2) << run.output();
  ExpectModeRestored(run);
  EXPECT_NE(run.output().find("\x1b[?25h"), std::string::npos) << "cursor left hidden";
}

TEST(ConsolePty, CtrlCActsAsTheCloseBox) {
  TempDir dir;
  TerminalRun run({"Daily"}, dir.path());
  ASSERT_TRUE(run.WaitFor(kRefused)) << run.output();
  run.Type("\x03");
  EXPECT_EQ(run.WaitForExit(), 130) << run.output();
  ExpectModeRestored(run);
}

// The print dialog on the terminal, over a private print server with two
// printers, the second the default.
class PrintDialogPty : public testing::Test {
 protected:
  void SetUp() override {
    server_.AddQueue("listing");
    server_.AddQueue("wall");
    server_.SetDefault("wall");
    const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", "3"}, dir_.path());
    ASSERT_EQ(w.exit_code, 0) << w.err;
    WriteFile(dir_ / "TavrinReport.ini", "[Print]\nOutput=Printer\nReportField1=Organization Name\n");
  }

  // Runs the report on the terminal, answers the dialog with `keys` and
  // waits for the end; the screen as the program left it.
  std::string Answer(const std::vector<std::string>& keys, int expected_exit = 0) {
    TerminalRun run({"Print"}, dir_.path(), server_.ClientEnv());
    for (const std::string& key : keys) {
      // Each answer is typed once the question (asked again) is on screen.
      const size_t asked = Count(run.output(), "Print on which printer?");
      EXPECT_TRUE(run.WaitFor("Print on which printer?", asked + 1)) << run.output();
      run.Type(key);
    }
    EXPECT_EQ(run.WaitForExit(), expected_exit) << run.output();
    EXPECT_TRUE(server_.WaitForJobs());
    return run.output();
  }

  TempDir dir_;
  PrintServer server_;
};

TEST_F(PrintDialogPty, ListsThePrintersAndChoosesByNumberOrTheDefault) {
  std::string screen = Answer({"1\r"});
  EXPECT_NE(screen.find("  1) listing"), std::string::npos) << screen;
  EXPECT_NE(screen.find("* 2) wall"), std::string::npos) << screen;
  EXPECT_NE(screen.find("  0) Cancel"), std::string::npos) << screen;
  EXPECT_TRUE(FileExists(server_.OutputOf("listing")));
  EXPECT_FALSE(FileExists(server_.OutputOf("wall")));

  // Enter takes the default; what was typed shows as it is typed.
  std::filesystem::remove(server_.OutputOf("listing"));
  screen = Answer({"wa\x7f\x7f\r"});
  EXPECT_NE(screen.find("> wa_"), std::string::npos) << screen;
  EXPECT_TRUE(FileExists(server_.OutputOf("wall")));
  EXPECT_FALSE(FileExists(server_.OutputOf("listing")));
}

TEST_F(PrintDialogPty, ABadAnswerIsAskedAgainAndEscapeCancels) {
  const std::string screen = Answer({"lobby\r", "\x1b"});
  EXPECT_NE(screen.find("There is no printer \"lobby\"."), std::string::npos) << screen;
  EXPECT_EQ(Count(screen, "The listing is not printed"), 0u) << screen;
  EXPECT_FALSE(FileExists(server_.OutputOf("listing")));
  EXPECT_FALSE(FileExists(server_.OutputOf("wall")));
  Answer({"q\r"});
  EXPECT_FALSE(FileExists(server_.OutputOf("wall")));
}

}  // namespace
}  // namespace tavrin::test
