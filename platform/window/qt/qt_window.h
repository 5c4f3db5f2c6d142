#ifndef TAVRIN_PLATFORM_WINDOW_QT_QT_WINDOW_H_
#define TAVRIN_PLATFORM_WINDOW_QT_QT_WINDOW_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/env/env.h"
#include "platform/window/qt/desktop_window.h"
#include "platform/window/window.h"

namespace tavrin {

// The desktop window over Qt 6 Widgets. Dialog 102 (the main window) and 129
// (the self-closing message) are laid out in dialog units converted with the
// application font's metrics (a horizontal unit is a quarter of the average
// character width, a vertical one an eighth of the character height), so
// they follow the desktop's font and scale. Message boxes, questions and the
// print dialog are modal boxes of their own.
//
// Threads: the thread that opened the window is its user-interface thread;
// every widget lives there. A dialog run on that thread is driven by Qt's
// event loop: its ticks arrive between the events, on the Env's clock. A
// dialog, box or question asked from another thread (the run thread) is
// shown by the user-interface thread while the asking thread blocks until it
// closes; such a dialog's events and ticks still arrive on the asking
// thread, which runs it as the console does (ModalLoop), the window showing
// its state after each tick. The main window keeps ticking meanwhile.
//
// Escape and the close box are Cancel (2) in every dialog and box; OK and
// Enter (except in the main window, whose OK button is hidden) are OK (1).
// When the main window's modal run ends, however it ends, nobody is left to
// answer: it closes every box still open, as Close() does.
//
// Notices, standard output and status changes go to `log` (an unattended
// log of the session), as do the texts of the boxes.
//
// All operations are thread-safe. One QtWindow at a time per process.
class QtWindow : public DesktopWindow {
 public:
  // Opens the display that QT_QPA_PLATFORM, WAYLAND_DISPLAY or DISPLAY name;
  // null, with the reason in *why_not, when none can be opened. `env` must
  // outlive the window.
  static std::unique_ptr<QtWindow> Open(Env& env, std::unique_ptr<WindowServices> log,
                                        std::string* why_not);
  ~QtWindow() override;
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  // The toolkit redraws the window itself: at rest it needs no tick.
  Refresh RefreshNeeded() const override { return Refresh::kWhenTextsChange; }
  int DoModal(Dialog& dialog) override;
  int MessageBox(const std::string& text, const std::string& caption, BoxStyle style) override;
  std::optional<std::string> AskLine(const std::string& text, const std::string& caption) override;
  void StandardOutput(const std::string& text) override;
  void Notice(const std::string& text, Severity severity) override;
  void StatusChanged(const std::string& report_name, const std::string& status,
                     const std::optional<RecordPosition>& position, Severity severity) override;
  void Close() override;

  // A print dialog of the toolkit listing the printers of the CUPS server
  // (printing to a file is not offered); the printer chosen is handed back
  // by its CUPS name. Cancel is a cancelled choice.
  std::unique_ptr<PrintDialog> NewPrintDialog(PrintBackend& backend) override;

  struct Impl;

 private:
  explicit QtWindow(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_QT_QT_WINDOW_H_
