#include "platform/window/log_window.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string_view>
#include <utility>

#include "platform/window/modal_loop.h"
#include "platform/env/stderr_lock.h"

namespace tavrin {

namespace {

constexpr int64_t kProcessingLogSeconds = 5;

// The sd-daemon prefix of a line: err, warning or info.
const char* JournalPrefix(Severity severity) {
  switch (severity) {
    case Severity::kError: return "<3>";
    case Severity::kWarning: return "<4>";
    case Severity::kInfo: break;
  }
  return "<6>";
}

}  // namespace

bool IsJournalStream(int fd, const char* journal_stream) {
  if (journal_stream == nullptr) return false;
  uintmax_t device = 0, inode = 0;
  int end = 0;
  if (std::sscanf(journal_stream, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &end) != 2 ||
      journal_stream[end] != '\0')
    return false;
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

std::string LogTimestamp(const std::tm& local) {
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
  return std::string(buf, n);
}

LogWindow::LogWindow(Env& env, std::FILE* out, std::FILE* err, bool journal, std::string hold_at_status)
    : env_(env), out_(out), err_(err), journal_(journal), hold_at_status_(std::move(hold_at_status)) {}

int LogWindow::DoModal(Dialog& dialog) {
  ModalLoop loop(dialog, env_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return kIdCancel;
    open_.push_back(&loop);
  }
  struct Unlist {  // however the run ends, a throwing handler included
    LogWindow* window;
    ModalLoop* loop;
    ~Unlist() {
      std::lock_guard<std::mutex> lock(window->mu_);
      window->open_.erase(std::find(window->open_.begin(), window->open_.end(), loop));
    }
  } unlist{this, &loop};
  loop.Start();
  if (dialog.TemplateId() == kTimedMessageTemplate) {
    // Logged once with the text it opened with; its count-down in the caption
    // would only repeat it every second.
    const WindowState state = loop.State();
    auto text = state.controls.find(kIdStatus);
    std::lock_guard<std::mutex> lock(mu_);
    LogLocked("[" + state.caption + "] " +
                  (text == state.controls.end() ? "" : NormalizeLineBreaks(text->second)),
              Severity::kError);
  }
  return loop.RunTimers({});
}

int LogWindow::MessageBox(const std::string& text, const std::string& caption, BoxStyle) {
  std::lock_guard<std::mutex> lock(mu_);
  // Logged even after Close, since it may say why the program is ending.
  LogLocked("[" + caption + "] " + NormalizeLineBreaks(text), Severity::kError);
  return closed_ ? kIdCancel : kIdOk;
}

void LogWindow::StandardOutput(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

std::optional<std::string> LogWindow::AskLine(const std::string& text, const std::string& caption) {
  std::lock_guard<std::mutex> lock(mu_);
  // Nobody can answer here: the caller goes on as if cancelled.
  LogLocked("[" + caption + "] " + NormalizeLineBreaks(text), Severity::kWarning);
  return std::nullopt;
}

void LogWindow::Notice(const std::string& text, Severity severity) {
  std::lock_guard<std::mutex> lock(mu_);
  LogLocked(text, severity);
}

void LogWindow::StatusChanged(const std::string& report_name, const std::string& status,
                              const std::optional<RecordPosition>& position, Severity severity) {
  std::unique_lock<std::mutex> lock(mu_);
  const bool name_changed = report_name != last_name_;
  if (!name_changed && status == last_status_) return;
  last_name_ = report_name;
  last_status_ = status;

  const int64_t now = env_.NowSeconds();
  if (!position) {
    processing_logged_ = false;
  } else {
    // The last record's status and the end of the walk (index == count).
    const bool last_record = position->index >= position->count - 1;
    const bool due = !processing_logged_ || now - processing_logged_at_ >= kProcessingLogSeconds;
    if (!name_changed && !last_record && !due) return;
    processing_logged_ = true;
    processing_logged_at_ = now;
  }

  std::string line = report_name;
  if (!line.empty() && !status.empty() && status != report_name) line += ": " + status;
  if (line.empty()) line = status;
  LogLocked(line, severity);
  if (!hold_at_status_.empty() && status == hold_at_status_) closed_cv_.wait(lock, [this] { return closed_; });
}

void LogWindow::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  for (ModalLoop* loop : open_) loop->EndDialog(kIdCancel);
  closed_cv_.notify_all();
}

void LogWindow::LogLocked(const std::string& text, Severity severity) {
  std::string line = LogTimestamp(env_.LocalNow()) + " " + text;
  if (line.back() != '\n') line += '\n';
  if (journal_) {
    // The journal reads the prefix of each line, so a box's later lines
    // carry it too.
    const std::string prefix = JournalPrefix(severity);
    std::string prefixed;
    for (size_t start = 0; start < line.size();) {
      const size_t end = line.find('\n', start) + 1;
      prefixed += prefix;
      prefixed.append(line, start, end - start);
      start = end;
    }
    line = std::move(prefixed);
  }
  std::lock_guard<std::mutex> stderr_lock(StderrLock());
  // A stop signal that comes while the stream waits for a slow reader (the
  // journal) interrupts the write; the rest of the line must still go out.
  std::string_view rest = line;
  for (;;) {
    rest.remove_prefix(std::fwrite(rest.data(), 1, rest.size(), err_));
    if (rest.empty() || !std::ferror(err_) || errno != EINTR) break;
    std::clearerr(err_);
  }
  std::fflush(err_);
}

}  // namespace tavrin
