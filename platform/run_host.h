#ifndef TAVRIN_PLATFORM_RUN_HOST_H_
#define TAVRIN_PLATFORM_RUN_HOST_H_

#include <string>

#include "platform/window.h"

namespace tavrin {

// What the steps of a report run (definition, data, output) may do to the run
// that hosts them: the status line and progress value, message boxes, the
// self-closing message, standard output, and ending the program. The main
// dialog implements it; FakeRunHost records it for tests.
// Called on the run thread only.
class RunHost {
 public:
  virtual ~RunHost() = default;
  // Sets the status line (m_strStatus).
  virtual void SetStatus(const std::string& text) = 0;
  // Sets the progress value (m_nProgress), 0 to 100.
  virtual void SetProgress(int percent) = 0;
  // A modal message box reporting a failure; blocks until answered.
  // kAppWarning boxes ignore `caption` and carry the program's name.
  virtual int MessageBox(const std::string& text, const std::string& caption,
                         BoxStyle style) = 0;
  // The self-closing message window: blocks for about `seconds` or until the
  // user ends it.
  virtual void ShowTimedMessage(const std::string& text, int seconds) = 0;
  // A text for the process's standard output.
  virtual void StandardOutput(const std::string& text) = 0;
  // A step failed without showing a box (it still counts for the exit status).
  virtual void ReportFailure() = 0;
  // Asks the main window to end with `result` once the run has returned.
  virtual void EndMainDialog(int result) = 0;
  // True once the user or a signal asked the program to end: long loops stop
  // at their next safe point.
  virtual bool StopRequested() const = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_RUN_HOST_H_
