#ifndef TAVRIN_PLATFORM_WINDOW_WINDOW_H_
#define TAVRIN_PLATFORM_WINDOW_WINDOW_H_

#include <cstdint>
#include <optional>
#include <string>

namespace tavrin {

// Results of a modal dialog or message box.
enum DialogResult { kIdOk = 1, kIdCancel = 2 };

// Dialog templates the window layer knows how to lay out.
enum DialogTemplate {
  kMainDialogTemplate = 102,   // report name, status, progress bar, version
  kTimedMessageTemplate = 129  // caption, multi-line message, OK button
};

// Control ids of the two templates.
enum ControlId {
  kIdReportName = 1000,  // main window: report name box
  kIdProgress = 1001,    // main window: progress bar
  kIdStatus = 1002,      // main window: status box; timed message: message box
};

// The three kinds of message box the program shows.
enum class BoxStyle {
  kMainWindowStop,  // owned by the main window, stop icon
  kAppWarning,      // application box, warning icon
  kPlain,           // unowned, no icon
};

// How much a line of the unattended log matters. The log tells the journal
// (as the priorities err, warning and info) when its stream is one.
enum class Severity {
  kInfo,     // progress and ordinary statuses
  kWarning,  // warnings and notices: the run goes on
  kError,    // a failure: error boxes, failure statuses
};

// Where the walk of a report stands: record `index` (from 0) of `count`.
struct RecordPosition {
  int64_t index = 0;
  int64_t count = 0;
  bool operator==(const RecordPosition&) const = default;
};

// What a dialog may do to its own window. EndDialog may be called from any
// thread; everything else only from the dialog's event handlers.
class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // Starts timer `id`, or restarts its period when it already runs.
  virtual void SetTimer(int id, int period_ms) = 0;
  // Moves the next tick of the running timer `id` to `delay_ms` from now (0:
  // as soon as the dialog's thread is free); the ticks after it come at its
  // period again. Nothing for a timer that does not run. Thread-safe, like
  // EndDialog.
  virtual void SetNextTick(int id, int64_t delay_ms) = 0;
  virtual void SetCaption(const std::string& text) = 0;
  virtual void SetControlText(int control_id, const std::string& text) = 0;
  virtual void SetProgress(int percent) = 0;
  // Ends the modal run with `result`. Thread-safe; later calls are ignored.
  virtual void EndDialog(int result) = 0;
};

// The behaviour of a modal dialog. Its events arrive on the thread that
// called WindowServices::DoModal, one at a time.
class Dialog {
 public:
  virtual ~Dialog() = default;
  virtual int TemplateId() const = 0;
  virtual void OnInitDialog(DialogHost& host) = 0;
  // The window became active (first shown, or switched back to).
  virtual void OnActivate(DialogHost& /*host*/) {}
  virtual void OnTimer(DialogHost& host, int timer_id) = 0;
  // The modal run has ended, however it ended: its host is gone once this
  // returns, so a thread that still holds it must let it go here.
  virtual void OnDestroy() {}
};

// The window toolkit. Implementations: the interactive console, the
// unattended log and a test double. All operations are thread-safe; a modal
// operation blocks only its calling thread.
class WindowServices {
 public:
  virtual ~WindowServices() = default;

  // What the window needs of a dialog's 100-ms timer to keep what it shows
  // current.
  enum class Refresh {
    // Nothing is drawn: the unattended log writes status changes as they
    // happen, never at a tick.
    kNever,
    // The window redraws itself (exposed, moved, themed) and needs a tick
    // only to show texts and progress that changed.
    kWhenTextsChange,
    // The window also looks at every tick for what it follows itself: the
    // terminal panel reads its terminal's size.
    kEveryTick,
  };
  virtual Refresh RefreshNeeded() const { return Refresh::kEveryTick; }

  // Runs `dialog` modally on the calling thread and returns its end result:
  // what EndDialog passed, 1 for OK, 2 for Escape, the close box or Close().
  virtual int DoModal(Dialog& dialog) = 0;

  // Shows a modal message box with an OK button on the calling thread and
  // returns 1 (OK) or 2 (Escape, or Close()). Line breaks in `text` are kept.
  // A box, like the self-closing message of DoModal, stops the user to tell
  // of a failure, so the unattended log writes both as errors.
  virtual int MessageBox(const std::string& text, const std::string& caption,
                         BoxStyle style) = 0;

  // Shows a modal box with `caption`, `text` (line breaks kept) and a line
  // for an answer, on the calling thread. Returns the line typed when the
  // user pressed Enter; nullopt on Escape, when nobody can answer (no
  // terminal, or its input ended) and after Close().
  virtual std::optional<std::string> AskLine(const std::string& text,
                                             const std::string& caption) = 0;

  // A text the program writes to standard output. Goes there in unattended
  // mode and through the window in the console, so it never breaks the panel.
  virtual void StandardOutput(const std::string& text) = 0;

  // A message that needs no answer, such as a configuration warning (a
  // kWarning) or the reason of a failure just reported (a kError): a log
  // line in unattended mode, a line below the panel in the console.
  virtual void Notice(const std::string& text, Severity severity) = 0;

  // The main window's report name or status text changed, as the run made it
  // (the unattended log writes it at once; the console redraws at the tick).
  // `position` is set when the status tells where the walk of the records
  // stands; `severity` is kError for a status that tells of a failure.
  virtual void StatusChanged(const std::string& report_name, const std::string& status,
                             const std::optional<RecordPosition>& position,
                             Severity severity) = 0;

  // Acts as the close box of every open dialog and box: each modal operation
  // under way returns 2 as soon as it can, and later ones return 2 at once.
  // Safe to call from any thread, but not from a signal handler.
  virtual void Close() = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_WINDOW_H_
