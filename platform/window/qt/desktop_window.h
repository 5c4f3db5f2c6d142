#ifndef TAVRIN_PLATFORM_WINDOW_QT_DESKTOP_WINDOW_H_
#define TAVRIN_PLATFORM_WINDOW_QT_DESKTOP_WINDOW_H_

#include <memory>
#include <string>

#include "platform/env/env.h"
#include "platform/print/print_backend.h"
#include "platform/print/print_dialog.h"
#include "platform/window/window.h"

namespace tavrin {

// The window toolkit of a desktop: real windows on the display.
class DesktopWindow : public WindowServices {
 public:
  // The print dialog of printed listings, asked at this window. `backend`
  // must outlive the result, which must not outlive this window.
  virtual std::unique_ptr<PrintDialog> NewPrintDialog(PrintBackend& backend) = 0;
};

// Opens the desktop window on the display that the environment names
// (QT_QPA_PLATFORM, WAYLAND_DISPLAY, DISPLAY), or returns null and says why
// in *why_not, for one notice in the window the caller falls back to.
//
// Each program links one of two definitions. tavrin-report, which links no
// window toolkit, replaces the process by tavrin-report-window (beside it,
// or in ../libexec/tavrin-report/) run with the same `argv`, so it must be
// called before any thread starts; it returns only when that program is not
// installed or cannot be run. tavrin-report-window opens the window; the
// calling thread becomes its user-interface thread, which must be the one
// that runs the main dialog. `env` must outlive the result.
std::unique_ptr<DesktopWindow> OpenDesktopWindow(char** argv, Env& env, std::string* why_not);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_QT_DESKTOP_WINDOW_H_
