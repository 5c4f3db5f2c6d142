#include "platform/window/console_window.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <future>
#include <optional>
#include <thread>

namespace tavrin {
namespace {

using namespace std::chrono_literals;

// How long a test waits for what the window should do at once: only a
// guard that turns a window that never does it into a failure, not a hang.
constexpr auto kHangGuard = 30s;

// A pseudo-terminal whose screen side the window uses; the test types on
// the other side and collects everything drawn.
class Pty {
 public:
  explicit Pty(unsigned short cols = 80, unsigned short rows = 24) {
    winsize ws{};
    ws.ws_col = cols;
    ws.ws_row = rows;
    if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) throw std::runtime_error("openpty");
    reader_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the screen side is closed
        std::lock_guard<std::mutex> lock(mu_);
        output_.append(buf, static_cast<size_t>(n));
        grew_.notify_all();
      }
    });
  }
  // The window using the screen side is gone by now: closing it ends the
  // reader once it has read everything drawn.
  ~Pty() {
    close(slave_);
    reader_.join();
    close(master_);
  }
  int slave() const { return slave_; }
  void Type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
  std::string output() {
    std::lock_guard<std::mutex> lock(mu_);
    return output_;
  }
  // Waits until the output holds `text`.
  bool WaitFor(const std::string& text) {
    std::unique_lock<std::mutex> lock(mu_);
    return grew_.wait_for(lock, kHangGuard, [&] { return output_.find(text) != std::string::npos; });
  }

 private:
  int master_ = -1, slave_ = -1;
  std::mutex mu_;
  std::condition_variable grew_;
  std::string output_;
  std::thread reader_;
};

// The main panel's stand-in: every tick shows the tick count in the status.
class PanelDialog : public Dialog {
 public:
  int TemplateId() const override { return kMainDialogTemplate; }
  void OnInitDialog(DialogHost& host) override {
    host.SetControlText(kIdReportName, "Daily");
    host.SetTimer(100, 20);
  }
  void OnTimer(DialogHost& host, int) override {
    ++ticks;
    host.SetControlText(kIdStatus, status.empty() ? "Processing " + std::to_string(ticks) + " of 1000000"
                                                  : status);
    host.SetProgress(40);
  }
  std::atomic<int> ticks{0};
  std::string status;
};

// A self-closing message that counts down in its caption.
class CountDown : public Dialog {
 public:
  explicit CountDown(int seconds) : seconds_(seconds) {}
  int TemplateId() const override { return kTimedMessageTemplate; }
  void OnInitDialog(DialogHost& host) override { host.SetCaption("Error!"); }
  void OnActivate(DialogHost& host) override {
    host.SetTimer(1, 30);
    host.SetControlText(kIdStatus, "There was an error\r\nline two");
  }
  void OnTimer(DialogHost& host, int) override {
    host.SetCaption("Message will close in " + std::to_string(seconds_ - ++elapsed_) + " seconds.");
    if (elapsed_ >= seconds_) host.EndDialog(kIdOk);
  }

 private:
  int seconds_, elapsed_ = 0;
};

// Replays what the window wrote on a screen of `rows` lines with the few
// controls the window uses, as a terminal would show it. A character written
// into the last column, where terminals wrap, fails the test.
std::vector<std::string> Replay(const std::string& out, size_t cols, size_t rows) {
  std::vector<std::string> screen(rows);
  size_t r = 0, c = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const char ch = out[i];
    if (ch == '\x1b' && i + 1 < out.size() && out[i + 1] == '[') {
      size_t j = i + 2;
      while (j < out.size() && !std::isalpha(static_cast<unsigned char>(out[j]))) ++j;
      const std::string param = out.substr(i + 2, j - i - 2);
      if (out[j] == 'A') r -= std::min(r, std::stoul(param));
      if (out[j] == 'K') screen[r].clear();
      if (out[j] == 'J') {
        screen[r].resize(std::min(screen[r].size(), c));
        for (size_t k = r + 1; k < rows; ++k) screen[k].clear();
      }
      i = j;
    } else if (ch == '\r') {
      c = 0;
    } else if (ch == '\n') {
      if (++r == rows) {
        screen.erase(screen.begin());
        screen.emplace_back();
        r = rows - 1;
      }
    } else {
      EXPECT_LT(c, cols - 1) << "wrote into the last column on row " << r;
      if (screen[r].size() <= c) screen[r].resize(c + 1, ' ');
      screen[r][c++] = ch;
    }
  }
  return screen;
}

std::string Joined(const std::vector<std::string>& screen) {
  std::string all;
  for (const std::string& line : screen) all += line + "\n";
  return all;
}

TEST(ConsoleWindow, PanelShowsWhatTheDialogSetsAtItsTicks) {
  Pty pty;
  PanelDialog dialog;
  {
    ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
    auto result = std::async(std::launch::async, [&] { return window.DoModal(dialog); });
    ASSERT_TRUE(pty.WaitFor("Processing 3 of 1000000"));
    const std::string out = pty.output();
    for (const char* text : {"TavrinReportGenerator", "Report Name:", "Daily", "Status:",
                             "Percent Complete:", "0%", "100%", "Version 7.000"})
      EXPECT_NE(out.find(text), std::string::npos) << text;
    EXPECT_NE(out.find("[####################------------------------------]"), std::string::npos);
    // Only the status line changes between ticks: the panel is not redrawn.
    const auto labels = std::count(out.begin(), out.end(), 'V');
    ASSERT_TRUE(pty.WaitFor("Processing 10 of 1000000"));
    const std::string later = pty.output();
    EXPECT_EQ(std::count(later.begin(), later.end(), 'V'), labels);

    // The panel has no OK button to press: Enter does nothing, and the
    // Escape read after it ends the panel with Cancel, not OK.
    pty.Type("\r");
    pty.Type("\x1b");
    EXPECT_EQ(result.get(), kIdCancel);
  }
  // The cursor comes back and the last panel stays, drawn in place.
  ASSERT_TRUE(pty.WaitFor("\x1b[?25h"));
  const std::vector<std::string> screen = Replay(pty.output(), 80, 24);
  const std::string status = "Status:           Processing " + std::to_string(dialog.ticks) + " of 1000000";
  EXPECT_EQ(std::vector(screen.begin(), screen.begin() + 7),
            (std::vector<std::string>{
                "== TavrinReportGenerator ==",
                "Report Name:      Daily",
                status,
                "Percent Complete: [####################------------------------------]",
                "                  0%                                              100%",
                "                                                         Version 7.000",
                "",
            }));
}

TEST(ConsoleWindow, BoxesAnswerEnterWithOkAndALoneEscapeWithCancel) {
  Pty pty;
  ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
  auto first = std::async(std::launch::async, [&] {
    return window.MessageBox("Either a thing\nor another", "tavrin-report", BoxStyle::kAppWarning);
  });
  ASSERT_TRUE(pty.WaitFor("or another"));
  EXPECT_NE(pty.output().find("(!) tavrin-report"), std::string::npos);
  // Arrow keys are not Escape: the Enter read after them answers the box.
  pty.Type("\x1b[A\x1bOB");
  pty.Type("\r");
  EXPECT_EQ(first.get(), kIdOk);

  auto second = std::async(std::launch::async, [&] {
    return window.MessageBox("second", "Provider Error", BoxStyle::kPlain);
  });
  ASSERT_TRUE(pty.WaitFor("second"));
  pty.Type("\x1b");
  EXPECT_EQ(second.get(), kIdCancel);
}

TEST(ConsoleWindow, QuestionsTakeTypedLinesAndEscapeOrNoInputGiveNone) {
  Pty pty;
  ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
  auto first = std::async(std::launch::async, [&] { return window.AskLine("Which one?\n  1) a", "Print"); });
  ASSERT_TRUE(pty.WaitFor("| > _"));
  // Backspace takes off a whole character, also a two-byte one.
  pty.Type("ab\xC3\xA9\x7f\x7f");
  ASSERT_TRUE(pty.WaitFor("| > ab\xC3\xA9_"));
  pty.Type("c\r");
  EXPECT_EQ(first.get(), std::optional<std::string>("ac"));

  auto second = std::async(std::launch::async, [&] { return window.AskLine("Again?", "Print"); });
  ASSERT_TRUE(pty.WaitFor("Again?"));
  pty.Type("x\x1b");
  EXPECT_EQ(second.get(), std::nullopt);

  // A box on top of a question takes no characters.
  auto third = std::async(std::launch::async, [&] { return window.AskLine("Third?", "Print"); });
  ASSERT_TRUE(pty.WaitFor("Third?"));
  auto box = std::async(std::launch::async, [&] { return window.MessageBox("on top", "Box", BoxStyle::kPlain); });
  ASSERT_TRUE(pty.WaitFor("on top"));
  pty.Type("zz\r");
  EXPECT_EQ(box.get(), kIdOk);
  pty.Type("y\r");
  EXPECT_EQ(third.get(), std::optional<std::string>("y"));

  window.Close();
  EXPECT_EQ(window.AskLine("Closed?", "Print"), std::nullopt);

  int no_input[2];
  ASSERT_EQ(pipe(no_input), 0);
  close(no_input[1]);
  {
    ConsoleWindow unanswered(no_input[0], pty.slave(), *Env::Default());
    auto asked = std::async(std::launch::async, [&] { return unanswered.AskLine("Anyone?", "Print"); });
    ASSERT_EQ(asked.wait_for(kHangGuard), std::future_status::ready);
    EXPECT_EQ(asked.get(), std::nullopt);
  }
  close(no_input[0]);
}

TEST(ConsoleWindow, TimedMessageRunsOnItsOwnThreadWhileThePanelTicks) {
  Pty pty;
  ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
  PanelDialog panel;
  auto main_result = std::async(std::launch::async, [&] { return window.DoModal(panel); });
  ASSERT_TRUE(pty.WaitFor("Processing 2 of"));

  CountDown closes_itself(3);
  EXPECT_EQ(window.DoModal(closes_itself), kIdOk);
  const std::string out = pty.output();
  EXPECT_NE(out.find("There was an error"), std::string::npos);
  EXPECT_NE(out.find("| line two"), std::string::npos);
  EXPECT_NE(out.find("Message will close in 1 seconds."), std::string::npos);

  // Enter goes to the message, the topmost, and not to the panel.
  CountDown waits(1000000);
  auto timed = std::async(std::launch::async, [&] { return window.DoModal(waits); });
  ASSERT_TRUE(pty.WaitFor("Message will close in 999998 seconds."));
  // The panel goes on ticking under the message.
  ASSERT_TRUE(pty.WaitFor("Processing " + std::to_string(panel.ticks + 1) + " of"));
  pty.Type("\r");
  ASSERT_EQ(timed.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(timed.get(), kIdOk);

  window.Close();
  EXPECT_EQ(main_result.get(), kIdCancel);
}

TEST(ConsoleWindow, CloseEndsEverythingAndLaterOperationsAtOnce) {
  Pty pty;
  ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
  PanelDialog panel;
  auto main_result = std::async(std::launch::async, [&] { return window.DoModal(panel); });
  auto box = std::async(std::launch::async,
                        [&] { return window.MessageBox("waiting", "Box", BoxStyle::kPlain); });
  ASSERT_TRUE(pty.WaitFor("waiting"));
  window.Close();
  EXPECT_EQ(box.get(), kIdCancel);
  EXPECT_EQ(main_result.get(), kIdCancel);
  EXPECT_EQ(window.MessageBox("later", "Box", BoxStyle::kPlain), kIdCancel);
  PanelDialog later;
  EXPECT_EQ(window.DoModal(later), kIdCancel);
  EXPECT_EQ(later.ticks, 0);
}

TEST(ConsoleWindow, WithoutInputBoxesAreAnsweredOkAndKeptInTheOutput) {
  Pty pty;
  int no_input[2];
  ASSERT_EQ(pipe(no_input), 0);
  close(no_input[1]);
  {
    ConsoleWindow window(no_input[0], pty.slave(), *Env::Default());
    auto box = std::async(std::launch::async, [&] {
      return window.MessageBox("\t Error number: 80004005\tbroken", "Provider Error", BoxStyle::kPlain);
    });
    ASSERT_EQ(box.wait_for(kHangGuard), std::future_status::ready);
    EXPECT_EQ(box.get(), kIdOk);
    EXPECT_EQ(window.MessageBox("next", "COM Error", BoxStyle::kPlain), kIdOk);
  }
  close(no_input[0]);
  ASSERT_TRUE(pty.WaitFor("\x1b[?25h"));
  const std::vector<std::string> screen = Replay(pty.output(), 80, 24);
  EXPECT_EQ(screen[1], "[Provider Error]   Error number: 80004005 broken");
  EXPECT_EQ(screen[2], "[COM Error] next");
}

TEST(ConsoleWindow, TerminalModeIsRestored) {
  Pty pty;
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  ASSERT_TRUE(before.c_lflag & ECHO);
  {
    ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
    EXPECT_FALSE(during.c_lflag & (ECHO | ICANON));
    EXPECT_TRUE(during.c_lflag & ISIG);
    window.Close();
  }
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
}

TEST(ConsoleWindow, NarrowTerminalCutsLinesAndControlCharactersAreDefused) {
  Pty pty(50, 24);
  PanelDialog dialog;
  dialog.status = "bad\x1b[2J\x07text \xff and a very long tail that never fits";
  {
    ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
    auto result = std::async(std::launch::async, [&] { return window.DoModal(dialog); });
    ASSERT_TRUE(pty.WaitFor("bad?[2J?text ?"));
    window.StandardOutput("Can't open output file: /tmp/x.html\n");
    ASSERT_TRUE(pty.WaitFor("Can't open output"));
    window.Close();
    EXPECT_EQ(result.get(), kIdCancel);
  }
  EXPECT_EQ(pty.output().find("\x1b[2J"), std::string::npos);
  const std::string screen = Joined(Replay(pty.output(), 50, 24));
  EXPECT_NE(screen.find("Status:           bad?[2J?text ? and a very long \n"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\nCan't open output file: /tmp/x.html\n"), std::string::npos) << screen;
}

TEST(ConsoleWindow, FrameNeverGrowsTallerThanTheScreen) {
  Pty pty(80, 10);
  ConsoleWindow window(pty.slave(), pty.slave(), *Env::Default());
  PanelDialog panel;
  auto main_result = std::async(std::launch::async, [&] { return window.DoModal(panel); });
  ASSERT_TRUE(pty.WaitFor("Processing 1 of"));
  for (int i = 0; i < 30; ++i) window.StandardOutput("output line " + std::to_string(i) + "\n");
  ASSERT_TRUE(pty.WaitFor("output line 29"));
  window.Close();
  EXPECT_EQ(main_result.get(), kIdCancel);
  // The panel stayed whole at the top; the newest output lines fill the rest.
  const std::vector<std::string> screen = Replay(pty.output(), 80, 10);
  EXPECT_EQ(screen[0], "== TavrinReportGenerator ==");
  EXPECT_EQ(screen[5].substr(57), "Version 7.000");
  EXPECT_EQ(screen[6], "");
  EXPECT_EQ(screen[7], "output line 28");
  EXPECT_EQ(screen[8], "output line 29");
}

}  // namespace
}  // namespace tavrin
