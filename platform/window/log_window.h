#ifndef TAVRIN_PLATFORM_WINDOW_LOG_WINDOW_H_
#define TAVRIN_PLATFORM_WINDOW_LOG_WINDOW_H_

#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env/env.h"
#include "platform/window/window.h"

namespace tavrin {

class ModalLoop;

// The window of an unattended run (cron, systemd): nothing is drawn and
// nobody answers, so every change the user would have seen becomes a log
// line on the error stream, each starting with a local ISO-8601 timestamp
// with offset taken from the Env clock ("2026-12-07T23:47:32+0100 ").
//
// - DoModal delivers the dialog's timer ticks in real time on the calling
//   thread; the self-closing message is logged once and still lasts its time.
// - StatusChanged logs every change of the report name or status text, but
//   the statuses of a walk through the records at most once every 5 seconds,
//   and always for the last record and for the end of the walk (a position
//   whose index is its count).
// - MessageBox logs "[<caption>] <text>" and answers OK at once; AskLine
//   logs the same and returns no answer.
// - StandardOutput writes to `out` and flushes.
//
// With `journal` set (the error stream is the systemd journal), every line
// starts with the sd-daemon priority of its entry: "<3>" for boxes, the
// self-closing message, and failure statuses and notices; "<4>" for
// warnings; "<6>" for the rest. The journal then files and colours each
// line by its priority (`journalctl -p warning` shows the first two).
//
// With `hold_at_status` set, StatusChanged holds the thread that set that
// status text, once it is logged, until Close(). It exists for end-to-end
// tests of a stop: a test that signals when it reads the line knows the run
// cannot get past it before the stop request has come (Close follows it).
//
// Thread-safe; lines never interleave. `env`, `out` and `err` must outlive
// the object, which owns neither stream.
class LogWindow : public WindowServices {
 public:
  LogWindow(Env& env, std::FILE* out, std::FILE* err, bool journal = false,
            std::string hold_at_status = {});

  // Nothing is drawn: status changes are logged as they come.
  Refresh RefreshNeeded() const override { return Refresh::kNever; }
  int DoModal(Dialog& dialog) override;
  int MessageBox(const std::string& text, const std::string& caption, BoxStyle style) override;
  std::optional<std::string> AskLine(const std::string& text, const std::string& caption) override;
  void StandardOutput(const std::string& text) override;
  void Notice(const std::string& text, Severity severity) override;
  void StatusChanged(const std::string& report_name, const std::string& status,
                     const std::optional<RecordPosition>& position,
                     Severity severity) override;
  void Close() override;

 private:
  // Writes `text` as one log entry; its later lines follow without stamps.
  void LogLocked(const std::string& text, Severity severity);

  Env& env_;
  std::FILE* out_;
  std::FILE* err_;
  const bool journal_;
  const std::string hold_at_status_;

  std::mutex mu_;
  std::condition_variable closed_cv_;  // for a status held until Close
  bool closed_ = false;
  std::vector<ModalLoop*> open_;  // modal runs under way, for Close
  std::string last_name_, last_status_;
  bool processing_logged_ = false;  // since the last other status line
  int64_t processing_logged_at_ = 0;
};

// "2026-12-07T23:47:32+0100", the stamp of a log line.
std::string LogTimestamp(const std::tm& local);

// True when `journal_stream`, the value of $JOURNAL_STREAM ("DEVICE:INODE"
// in decimal, as systemd sets it for a service's output), names the file
// open on descriptor `fd`. A variable inherited by a child whose error
// stream went elsewhere names another file, so being set is not enough.
// Null or malformed: false.
bool IsJournalStream(int fd, const char* journal_stream);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_LOG_WINDOW_H_
