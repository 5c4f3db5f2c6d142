#ifndef TAVRIN_RUN_RUN_HOST_H_
#define TAVRIN_RUN_RUN_HOST_H_

#include <cstdint>
#include <stop_token>
#include <string>

#include "platform/window/window.h"

namespace tavrin {

// What the steps of a report run (definition, data, output) may do to the run
// that hosts them: the status line and progress value, message boxes, the
// self-closing message, standard output, notices for the log, recording a
// failure, and asking whether to stop. The main dialog implements it;
// FakeRunHost records it for tests. The steps call it on the run thread;
// the main dialog also sets the status line and the progress value itself
// from its timer, on the window's thread, while no run is under way, so its
// SetStatus and SetProgress take either thread.
class RunHost {
 public:
  virtual ~RunHost() = default;
  // Sets the status line (m_strStatus).
  virtual void SetStatus(const std::string& text) = 0;
  // The step at hand failed and the status line says so: records the
  // failure (as RecordFailure) and sets the status line to `text`, which the
  // unattended log then writes as an error.
  virtual void SetFailureStatus(const std::string& text) = 0;
  // Sets the status line to `text`, which tells that the walk is at record
  // `index` (from 0) of `count`; the numbers travel beside the text so that
  // nobody has to read them back out of it.
  virtual void SetRecordStatus(const std::string& text, int32_t index, int32_t count) = 0;
  // Sets the progress value (m_nProgress), 0 to 100.
  virtual void SetProgress(int percent) = 0;
  // A modal message box; blocks until answered. kAppWarning boxes ignore
  // `caption` and carry the program's name. Showing a box records nothing:
  // a step that failed says so with RecordFailure.
  virtual int MessageBox(const std::string& text, const std::string& caption,
                         BoxStyle style) = 0;
  // The self-closing message window: blocks for about `seconds` or until the
  // user ends it.
  virtual void ShowTimedMessage(const std::string& text, int seconds) = 0;
  // A text for the process's standard output.
  virtual void StandardOutput(const std::string& text) = 0;
  // A line for the log (below the console panel) that needs no answer: what
  // a stopped run left behind (a kWarning), or the reason of a failure that
  // a box or the timed message told of (a kError).
  virtual void Notice(const std::string& text, Severity severity) = 0;
  // The step at hand failed: the run counts as failed (exit status 1).
  virtual void RecordFailure() = 0;
  // The run failed (as RecordFailure) because its source changed while it
  // read it, so that what it read is not of one version; its output was
  // left as a stop leaves it. A schedule runs the report once more.
  virtual void SourceChanged() = 0;
  // True once the user or a signal asked the program to end: long loops stop
  // at their next safe point.
  virtual bool StopRequested() const = 0;
  // Requested together with StopRequested, on the thread that asks for the
  // stop: for a wait that cannot look at StopRequested (a batch on a
  // database server) to be cut short by a stop callback. This default is
  // never requested.
  virtual std::stop_token StopToken() const { return {}; }
};

}  // namespace tavrin

#endif  // TAVRIN_RUN_RUN_HOST_H_
