#include "platform/window/window_factory.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/window/console_window.h"
#include "platform/window/log_window.h"

namespace tavrin {

bool IsInteractiveTerminal() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

bool WantsDesktopWindow(bool window_option, bool mode_option, const char* wayland_display,
                        const char* display, bool stdin_is_terminal) {
  if (window_option) return true;
  const auto named = [](const char* value) { return value != nullptr && *value != '\0'; };
  return !mode_option && !stdin_is_terminal && (named(wayland_display) || named(display));
}

std::unique_ptr<WindowServices> NewWindowServices(WindowMode mode, Env& env) {
  if (mode == WindowMode::kInteractive)
    return std::make_unique<ConsoleWindow>(STDIN_FILENO, STDOUT_FILENO, env);
  const char* hold = std::getenv("TAVRIN_HOLD_AT_STATUS");
  return std::make_unique<LogWindow>(env, stdout, stderr,
                                     IsJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM")),
                                     hold != nullptr ? hold : "");
}

}  // namespace tavrin
