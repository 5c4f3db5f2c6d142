#include "platform/window/log_window.h"

#include <algorithm>

#include "platform/window/modal_loop.h"
#include "platform/env/stderr_lock.h"

namespace tavrin {

namespace {

constexpr int64_t kProcessingLogSeconds = 5;

}  // namespace

std::string LogTimestamp(const std::tm& local) {
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
  return std::string(buf, n);
}

LogWindow::LogWindow(Env& env, std::FILE* out, std::FILE* err)
    : env_(env), out_(out), err_(err) {}

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
              (text == state.controls.end() ? "" : NormalizeLineBreaks(text->second)));
  }
  return loop.RunTimers({});
}

int LogWindow::MessageBox(const std::string& text, const std::string& caption, BoxStyle) {
  std::lock_guard<std::mutex> lock(mu_);
  // Logged even after Close, since it may say why the program is ending.
  LogLocked("[" + caption + "] " + NormalizeLineBreaks(text));
  return closed_ ? kIdCancel : kIdOk;
}

void LogWindow::StandardOutput(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

std::optional<std::string> LogWindow::AskLine(const std::string& text, const std::string& caption) {
  std::lock_guard<std::mutex> lock(mu_);
  LogLocked("[" + caption + "] " + NormalizeLineBreaks(text));
  return std::nullopt;
}

void LogWindow::Notice(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  LogLocked(text);
}

void LogWindow::StatusChanged(const std::string& report_name, const std::string& status,
                              const std::optional<RecordPosition>& position) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool name_changed = report_name != last_name_;
  if (!name_changed && status == last_status_) return;
  last_name_ = report_name;
  last_status_ = status;

  const int64_t now = env_.NowSeconds();
  if (!position) {
    processing_logged_ = false;
  } else {
    const bool last_record = position->index == position->count - 1;
    const bool due = !processing_logged_ || now - processing_logged_at_ >= kProcessingLogSeconds;
    if (!name_changed && !last_record && !due) return;
    processing_logged_ = true;
    processing_logged_at_ = now;
  }

  std::string line = report_name;
  if (!line.empty() && !status.empty() && status != report_name) line += ": " + status;
  if (line.empty()) line = status;
  LogLocked(line);
}

void LogWindow::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  for (ModalLoop* loop : open_) loop->EndDialog(kIdCancel);
}

void LogWindow::LogLocked(const std::string& text) {
  std::string line = LogTimestamp(env_.LocalNow()) + " " + text;
  if (line.back() != '\n') line += '\n';
  std::lock_guard<std::mutex> stderr_lock(StderrLock());
  std::fwrite(line.data(), 1, line.size(), err_);
  std::fflush(err_);
}

}  // namespace tavrin
