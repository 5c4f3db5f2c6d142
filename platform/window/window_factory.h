#ifndef TAVRIN_PLATFORM_WINDOW_WINDOW_FACTORY_H_
#define TAVRIN_PLATFORM_WINDOW_WINDOW_FACTORY_H_

#include <memory>

#include "platform/env/env.h"
#include "platform/window/window.h"

namespace tavrin {

enum class WindowMode {
  kInteractive,  // the console panel on the process's terminal
  kUnattended,   // a log on standard error, for cron and systemd
};

// True when standard input and standard output are both terminals, the case
// for the interactive console.
bool IsInteractiveTerminal();

// Whether the desktop window is the one to show: asked for (`window_option`),
// or, when no mode was asked for (`mode_option`: --interactive or
// --unattended), when a display is named (`wayland_display` or `display`,
// the environment's values, may be null) and standard input is not a
// terminal, as for a program started from a desktop menu.
bool WantsDesktopWindow(bool window_option, bool mode_option, const char* wayland_display,
                        const char* display, bool stdin_is_terminal);

// The window toolkit for `mode` on the process's standard streams. `env`
// (the clock of timers and log stamps) must outlive the result. The interactive one
// holds the terminal in raw mode until it is destroyed; the unattended one
// marks its lines with journal priorities when standard error is the journal
// stream that $JOURNAL_STREAM names, and holds the run at the status that
// $TAVRIN_HOLD_AT_STATUS names until it is closed (see LogWindow; for tests
// of a stop).
std::unique_ptr<WindowServices> NewWindowServices(WindowMode mode, Env& env);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_WINDOW_FACTORY_H_
