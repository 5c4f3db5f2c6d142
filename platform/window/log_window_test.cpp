#include "platform/window/log_window.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include "platform/env/fake_env.h"

namespace tavrin {
namespace {

// A FILE* whose contents the test can read back.
class MemoryStream {
 public:
  MemoryStream() : file_(open_memstream(&data_, &size_)) {}
  ~MemoryStream() {
    std::fclose(file_);
    std::free(data_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

class LogWindowTest : public ::testing::Test {
 protected:
  FakeEnv env_{1709647629};  // 2024-03-05 14:07:09 in the fake's UTC
  MemoryStream out_, err_;
  LogWindow window_{env_, out_.file(), err_.file()};
};

// Ticks every `period_ms`, shows a new caption at each tick and ends itself
// at tick `end_at`.
class CountingDialog : public Dialog {
 public:
  CountingDialog(int template_id, int period_ms, int end_at)
      : template_id_(template_id), period_ms_(period_ms), end_at_(end_at) {}
  int TemplateId() const override { return template_id_; }
  void OnInitDialog(DialogHost& host) override {
    thread_ = std::this_thread::get_id();
    host.SetControlText(kIdStatus, "first line\r\nsecond line\r\n");
  }
  void OnActivate(DialogHost& host) override { host.SetTimer(1, period_ms_); }
  void OnTimer(DialogHost& host, int) override {
    if (std::this_thread::get_id() != thread_) wrong_thread = true;
    host.SetCaption("closing in " + std::to_string(end_at_ - ++ticks));
    if (on_tick) on_tick(ticks);
    if (ticks == end_at_) host.EndDialog(kIdOk);
  }
  std::function<void(int)> on_tick;
  int ticks = 0;
  bool wrong_thread = false;

 private:
  int template_id_, period_ms_, end_at_;
  std::thread::id thread_;
};

TEST_F(LogWindowTest, LogsEveryChangeOfNameOrStatusWithLocalTimestamp) {
  window_.StatusChanged("", "Waiting until next report is due.", std::nullopt, Severity::kInfo);
  window_.StatusChanged("Daily", "Waiting until next report is due.", std::nullopt, Severity::kInfo);
  window_.StatusChanged("Daily", "Waiting until next report is due.", std::nullopt, Severity::kInfo);  // no change
  env_.Advance(61);
  window_.StatusChanged("Daily", "Database open FAILURE!", std::nullopt, Severity::kError);
  window_.StatusChanged("Waiting until next report is due.", "Waiting until next report is due.",
                        std::nullopt, Severity::kInfo);
  EXPECT_EQ(err_.text(),
            "2024-03-05T14:07:09+0000 Waiting until next report is due.\n"
            "2024-03-05T14:07:09+0000 Daily: Waiting until next report is due.\n"
            "2024-03-05T14:08:10+0000 Daily: Database open FAILURE!\n"
            "2024-03-05T14:08:10+0000 Waiting until next report is due.\n");
  EXPECT_EQ(out_.text(), "");
}

TEST(LogTimestamp, CarriesTheZoneOffset) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 23;
  t.tm_min = 47;
  t.tm_sec = 32;
  t.tm_gmtoff = 3600;
  EXPECT_EQ(LogTimestamp(t), "2026-12-07T23:47:32+0100");
}

TEST_F(LogWindowTest, ThrottlesProcessingLinesButKeepsTheLastRecord) {
  for (int i = 0; i < 20; ++i) {
    window_.StatusChanged("Daily", "Processing " + std::to_string(i) + " of 20",
                          RecordPosition{i, 20}, Severity::kInfo);
    env_.Advance(1);  // one record a second
  }
  // The end of the walk is logged however soon it comes.
  window_.StatusChanged("Daily", "Processing 20 of 20", RecordPosition{20, 20}, Severity::kInfo);
  window_.StatusChanged("Daily", "Report complete", std::nullopt, Severity::kInfo);
  // A new pass logs at once.
  window_.StatusChanged("Daily", "Processing 0 of 3", RecordPosition{0, 3}, Severity::kInfo);
  window_.StatusChanged("Daily", "Processing 1 of 3", RecordPosition{1, 3}, Severity::kInfo);
  window_.StatusChanged("Daily", "Processing 2 of 3", RecordPosition{2, 3}, Severity::kInfo);
  // Only the position counts, never the text.
  window_.StatusChanged("Daily", "Step 3 of 9", RecordPosition{3, 9}, Severity::kInfo);
  window_.StatusChanged("Daily", "Processing 4 of 9", std::nullopt, Severity::kInfo);
  EXPECT_EQ(err_.text(),
            "2024-03-05T14:07:09+0000 Daily: Processing 0 of 20\n"
            "2024-03-05T14:07:14+0000 Daily: Processing 5 of 20\n"
            "2024-03-05T14:07:19+0000 Daily: Processing 10 of 20\n"
            "2024-03-05T14:07:24+0000 Daily: Processing 15 of 20\n"
            "2024-03-05T14:07:28+0000 Daily: Processing 19 of 20\n"
            "2024-03-05T14:07:29+0000 Daily: Processing 20 of 20\n"
            "2024-03-05T14:07:29+0000 Daily: Report complete\n"
            "2024-03-05T14:07:29+0000 Daily: Processing 0 of 3\n"
            "2024-03-05T14:07:29+0000 Daily: Processing 2 of 3\n"
            "2024-03-05T14:07:29+0000 Daily: Processing 4 of 9\n");
}

TEST_F(LogWindowTest, BoxIsLoggedWithCaptionAndAnsweredOkAQuestionGetsNoAnswer) {
  EXPECT_EQ(window_.MessageBox("Error\n\tCode = 80004005\n", "COM Error", BoxStyle::kPlain), kIdOk);
  EXPECT_EQ(window_.AskLine("Which printer?", "Print"), std::nullopt);
  EXPECT_EQ(err_.text(),
            "2024-03-05T14:07:09+0000 [COM Error] Error\n\tCode = 80004005\n"
            "2024-03-05T14:07:09+0000 [Print] Which printer?\n");
}

TEST_F(LogWindowTest, NoticeIsALogLineOfItsOwn) {
  window_.Notice("TavrinReport: cannot write /x/TavrinReport.ini: Permission denied",
                 Severity::kWarning);
  EXPECT_EQ(err_.text(),
            "2024-03-05T14:07:09+0000 TavrinReport: cannot write /x/TavrinReport.ini: "
            "Permission denied\n");
  EXPECT_EQ(out_.text(), "");
}

TEST_F(LogWindowTest, StandardOutputGoesToOutAtOnce) {
  window_.StandardOutput("Can't open output file: /x/y.html\n");
  // Read without closing: the text must already have been flushed.
  EXPECT_EQ(out_.text(), "Can't open output file: /x/y.html\n");
  EXPECT_EQ(err_.text(), "");
}

TEST_F(LogWindowTest, TimedMessageIsLoggedOnceAndRunsItsTicksOnTheClock) {
  CountingDialog dialog(kTimedMessageTemplate, 30, 4);
  const int64_t start = env_.now_ms();
  EXPECT_EQ(window_.DoModal(dialog), kIdOk);
  EXPECT_EQ(env_.now_ms() - start, 120);  // four periods waited, on the Env's clock
  EXPECT_EQ(dialog.ticks, 4);
  EXPECT_FALSE(dialog.wrong_thread);
  EXPECT_EQ(err_.text(), "2024-03-05T14:07:09+0000 [Error!] first line\nsecond line\n");
}

TEST_F(LogWindowTest, CloseEndsModalRunsAndLaterOnesAtOnce) {
  CountingDialog dialog(kMainDialogTemplate, 10, 1000000);
  // Close comes from another thread, as a signal's watcher calls it.
  dialog.on_tick = [this](int tick) {
    if (tick == 3) std::thread([this] { window_.Close(); }).join();
  };
  EXPECT_EQ(window_.DoModal(dialog), kIdCancel);
  EXPECT_EQ(dialog.ticks, 3);

  CountingDialog later(kMainDialogTemplate, 10, 1);
  EXPECT_EQ(window_.DoModal(later), kIdCancel);
  EXPECT_EQ(later.ticks, 0);
  EXPECT_EQ(window_.MessageBox("why it ends", "Stop", BoxStyle::kPlain), kIdCancel);
  EXPECT_NE(err_.text().find("[Stop] why it ends"), std::string::npos);
}

TEST_F(LogWindowTest, HeldStatusReturnsOnlyAfterClose) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::FILE* read_end = fdopen(fds[0], "r");
  std::FILE* write_end = fdopen(fds[1], "w");
  {
    LogWindow held(env_, out_.file(), write_end, false, "Processing 0 of 2");
    held.StatusChanged("Daily", "Querying Data", std::nullopt, Severity::kInfo);
    int box = 0;
    std::thread run([&] {
      held.StatusChanged("Daily", "Processing 0 of 2", RecordPosition{0, 2}, Severity::kInfo);
      box = held.MessageBox("after the hold", "Run", BoxStyle::kPlain);
    });
    // The held line is logged before the hold: once it is read, the run
    // is held or has passed it.
    char line[256];
    ASSERT_NE(fgets(line, sizeof line, read_end), nullptr);
    ASSERT_NE(fgets(line, sizeof line, read_end), nullptr);
    EXPECT_STREQ(line, "2024-03-05T14:07:09+0000 Daily: Processing 0 of 2\n");
    held.Notice("before Close", Severity::kInfo);
    held.Close();
    run.join();
    EXPECT_EQ(box, kIdCancel);
    ASSERT_NE(fgets(line, sizeof line, read_end), nullptr);
    EXPECT_STREQ(line, "2024-03-05T14:07:09+0000 before Close\n");
    // Once closed, the status holds nobody.
    held.StatusChanged("Weekly", "Processing 0 of 2", RecordPosition{0, 2}, Severity::kInfo);
  }
  std::fclose(write_end);
  std::fclose(read_end);
}

// An unbuffered stream, as standard error is, whose first write is
// interrupted by a signal before it writes anything.
class InterruptedOnce {
 public:
  InterruptedOnce() {
    file_ = fopencookie(this, "w", {nullptr, &InterruptedOnce::Write, nullptr, nullptr});
    setvbuf(file_, nullptr, _IONBF, 0);
  }
  ~InterruptedOnce() { std::fclose(file_); }
  std::FILE* file() { return file_; }
  const std::string& text() const { return text_; }

 private:
  static ssize_t Write(void* cookie, const char* data, size_t size) {
    auto* self = static_cast<InterruptedOnce*>(cookie);
    if (!self->interrupted_) {
      self->interrupted_ = true;
      errno = EINTR;
      return 0;
    }
    self->text_.append(data, size);
    return static_cast<ssize_t>(size);
  }
  std::FILE* file_;
  bool interrupted_ = false;
  std::string text_;
};

TEST_F(LogWindowTest, ALineInterruptedBySignalStillGoesOutWhole) {
  InterruptedOnce err;
  LogWindow window(env_, out_.file(), err.file());
  window.Notice("Daily: stopped before the report was finished", Severity::kWarning);
  window.Notice("next", Severity::kInfo);
  EXPECT_EQ(err.text(),
            "2024-03-05T14:07:09+0000 Daily: stopped before the report was finished\n"
            "2024-03-05T14:07:09+0000 next\n");
}

TEST_F(LogWindowTest, OnTheJournalEveryLineCarriesThePriorityOfItsEntry) {
  MemoryStream err;
  LogWindow journal(env_, out_.file(), err.file(), true);
  journal.StatusChanged("Daily", "Processing 0 of 2", RecordPosition{0, 2}, Severity::kInfo);
  journal.StatusChanged("Daily", "Database open FAILURE!", std::nullopt, Severity::kError);
  journal.Notice("value of [Daily] Where is longer than 299 bytes", Severity::kWarning);
  journal.MessageBox("Error\n\tCode = 80004005\n", "COM Error", BoxStyle::kPlain);
  CountingDialog timed(kTimedMessageTemplate, 10, 1);
  journal.DoModal(timed);
  EXPECT_EQ(err.text(),
            "<6>2024-03-05T14:07:09+0000 Daily: Processing 0 of 2\n"
            "<3>2024-03-05T14:07:09+0000 Daily: Database open FAILURE!\n"
            "<4>2024-03-05T14:07:09+0000 value of [Daily] Where is longer than 299 bytes\n"
            "<3>2024-03-05T14:07:09+0000 [COM Error] Error\n<3>\tCode = 80004005\n"
            "<3>2024-03-05T14:07:09+0000 [Error!] first line\n<3>second line\n");
  // Off the journal the same severities leave the lines as they are.
  window_.StatusChanged("Daily", "Database open FAILURE!", std::nullopt, Severity::kError);
  EXPECT_EQ(err_.text(), "2024-03-05T14:07:09+0000 Daily: Database open FAILURE!\n");
}

TEST(IsJournalStream, NeedsTheDeviceAndInodeOfTheDescriptor) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  struct stat st {};
  ASSERT_EQ(fstat(fileno(file), &st), 0);
  const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
  EXPECT_TRUE(IsJournalStream(fileno(file), (dev + ":" + ino).c_str()));
  EXPECT_FALSE(IsJournalStream(fileno(file), (dev + ":" + std::to_string(st.st_ino + 1)).c_str()));
  EXPECT_FALSE(IsJournalStream(fileno(file), (dev + ":" + ino + "x").c_str()));
  EXPECT_FALSE(IsJournalStream(fileno(file), ""));
  EXPECT_FALSE(IsJournalStream(fileno(file), nullptr));
  std::fclose(file);
  EXPECT_FALSE(IsJournalStream(-1, (dev + ":" + ino).c_str()));
}

TEST_F(LogWindowTest, LinesFromManyThreadsNeverInterleave) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 200; ++i)
        window_.MessageBox(std::string(100, static_cast<char>('a' + t)), "T", BoxStyle::kPlain);
    });
  }
  for (auto& t : threads) t.join();
  const std::string text = err_.text();
  size_t lines = 0;
  for (size_t start = 0; start < text.size(); ++lines) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    ASSERT_EQ(line.size(), 25u + 4 + 100) << line;
    EXPECT_EQ(line.substr(29), std::string(100, line[29]));
    start = end + 1;
  }
  EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace tavrin
