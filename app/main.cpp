// tavrin-report: makes the reports of TavrinReport.ini, once or on a schedule.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/main_dialog.h"
#include "app/run_ledger.h"
#include "app/run_status.h"
#include "app/service_check.h"
#include "platform/env/env.h"
#include "platform/fs/fd.h"
#include "platform/fs/file_system.h"
#include "platform/history/sqlite_run_history.h"
#include "platform/print/print_module.h"
#include "platform/print/print_dialog.h"
#include "platform/profile/profile.h"
#include "platform/providers/providers.h"
#include "platform/watch/file_watcher.h"
#include "platform/window/qt/desktop_window.h"
#include "platform/window/window_factory.h"

namespace {

const char kProgramName[] = "tavrin-report";

int g_signal_pipe[2] = {-1, -1};
// The first stop signal caught, 0 before any; set by the handler only.
std::atomic<int> g_caught_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

extern "C" void OnSignal(int sig) {
  int none = 0;
  g_caught_signal.compare_exchange_strong(none, sig);
  const unsigned char byte = static_cast<unsigned char>(sig);
  const int saved = errno;
  [[maybe_unused]] ssize_t n = write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

// Makes SIGINT and SIGTERM stop requests from the first moment of main: a
// signal that comes before the window exists waits in the pipe for the
// watcher, and the program still ends with 128 + its number instead of
// being killed by it. The signals are unblocked too, so that a launcher
// that blocked them for itself cannot leave the program deaf to a stop.
void CatchStopSignals() {
  if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) return;
  // A handler must never wait on a full pipe; the first byte is the one
  // that counts.
  fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);
}

// `status`, or 128 + the signal when a stop signal was caught.
int ExitStatus(int status) {
  const int sig = g_caught_signal.load();
  return sig != 0 ? 128 + sig : status;
}

// Turns the stop signals into the close box: a watcher thread (of `env`)
// reads the signal from the pipe that the async-signal-safe handler writes,
// and asks the window and the run to end. Destruction stops the watcher.
class SignalWatcher {
 public:
  SignalWatcher(tavrin::Env& env, tavrin::WindowServices& window,
                tavrin::CTavrinReportGeneratorDlg& dlg) {
    if (g_signal_pipe[0] < 0) return;
    thread_ = env.StartThread([&window, &dlg] {
      unsigned char byte = 0;
      while (read(g_signal_pipe[0], &byte, 1) < 0 && errno == EINTR) {
      }
      if (byte == 0) return;  // stop request from the destructor
      dlg.RequestStop();
      window.Close();
    });
  }
  ~SignalWatcher() {
    if (!thread_) return;
    // A pipe too full to take it holds signals, which end the watcher too.
    const unsigned char stop = 0;
    [[maybe_unused]] ssize_t n = write(g_signal_pipe[1], &stop, 1);
    thread_->Join();
  }

 private:
  std::unique_ptr<tavrin::ThreadHandle> thread_;
};

}  // namespace

int main(int argc, char** argv) {
  // First of all: a closed standard stream would otherwise be the number of
  // the signal pipe or of a report, and a log line would land in it.
  tavrin::fs::OpenClosedStandardStreams();
  CatchStopSignals();

  const std::vector<std::string> args(argv + 1, argv + argc);
  const tavrin::CommandLine cl = tavrin::ParseCommandLine(args);
  if (!cl.error.empty()) {
    std::fprintf(stderr, "%s: %s\n\n%s", kProgramName, cl.error.c_str(),
                 tavrin::UsageText(kProgramName).c_str());
    return ExitStatus(2);
  }
  if (cl.help) {
    std::fputs(tavrin::UsageText(kProgramName).c_str(), stdout);
    return ExitStatus(0);
  }
  if (cl.version) {
    std::printf("%s 7.000\n", kProgramName);
    return ExitStatus(0);
  }

  // A FIFO or pipe whose reader went away fails the write (EPIPE) and the
  // report says so, instead of the program ending without a word.
  signal(SIGPIPE, SIG_IGN);

  tavrin::Env& env = *tavrin::Env::Default();
  tavrin::FileSystem& files = *tavrin::FileSystem::Default();
  const std::string several = tavrin::SeveralReportsWarning(cl);
  if (cl.check) {
    if (!several.empty()) std::fprintf(stderr, "%s: %s\n", kProgramName, several.c_str());
    tavrin::ado::DefaultProviders providers(env);
    const tavrin::CheckResult result =
        cl.as_service ? tavrin::CheckReportsAsService(env, files, *tavrin::DefaultProfileStore(), providers,
                                                      cl.report, *tavrin::NewLinuxServiceHost())
                      : tavrin::CheckReports(env, files, *tavrin::DefaultProfileStore(), providers, cl.report);
    std::fputs(result.text.c_str(), stdout);
    return ExitStatus(result.status);
  }
  if (cl.status) {
    if (!several.empty()) std::fprintf(stderr, "%s: %s\n", kProgramName, several.c_str());
    tavrin::SqliteRunHistory history(tavrin::HistoryFileIn(env.CurrentDirectory()));
    const tavrin::StatusResult result =
        tavrin::ShowRunStatus(env, *tavrin::DefaultProfileStore(), history, cl.report, cl.json);
    std::fputs(result.text.c_str(), stdout);
    return ExitStatus(result.status);
  }
  // The desktop window, when chosen, comes first: without it in this
  // program, the program that has it takes over the process here.
  std::unique_ptr<tavrin::DesktopWindow> desktop;
  std::string no_desktop;  // why the desktop window chosen is not shown
  if (tavrin::WantsDesktopWindow(cl.window, cl.interactive || cl.unattended, std::getenv("WAYLAND_DISPLAY"),
                                 std::getenv("DISPLAY"), isatty(STDIN_FILENO) == 1))
    desktop = tavrin::OpenDesktopWindow(argv, env, &no_desktop);
  const bool interactive =
      !desktop && (cl.interactive || (!cl.unattended && tavrin::IsInteractiveTerminal()));
  tavrin::DesktopWindow* const desktop_window = desktop.get();
  std::unique_ptr<tavrin::WindowServices> window =
      desktop ? std::move(desktop)
              : tavrin::NewWindowServices(
                    interactive ? tavrin::WindowMode::kInteractive : tavrin::WindowMode::kUnattended, env);
  if (!no_desktop.empty()) window->Notice(no_desktop, tavrin::Severity::kWarning);
  if (!several.empty()) window->Notice(several, tavrin::Severity::kWarning);

  tavrin::SqliteRunHistory history(tavrin::HistoryFileIn(env.CurrentDirectory()));
  tavrin::RunLedger ledger(env, files, history,
                           [&window](const std::string& text, tavrin::Severity severity) {
                             window->Notice(text, severity);
                           });
  tavrin::ado::DefaultProviders providers(env);
  // Made before the dialog, which stops its wakes when it goes.
  const std::unique_ptr<tavrin::FileWatcher> sources = tavrin::NewInotifyWatcher(env);
  tavrin::CTavrinReportGeneratorDlg dlg(env, *window, tavrin::DefaultProfileStore(), providers, files,
                                        cl.report, kProgramName);
  // A printer named on the command line, or nobody to ask, takes the
  // choice out of the user's hands.
  tavrin::LoadedPrintBackend printing(tavrin::PrintModulePath(), [&window](const std::string& text) {
    window->Notice(text, tavrin::Severity::kWarning);
  });
  std::unique_ptr<tavrin::PrintDialog> print_dialog;
  if (desktop_window != nullptr && cl.printer.empty()) {
    print_dialog = desktop_window->NewPrintDialog(printing);
  } else if (interactive && cl.printer.empty()) {
    print_dialog = std::make_unique<tavrin::WindowPrintDialog>(*window, printing);
  } else {
    print_dialog = std::make_unique<tavrin::PresetPrintDialog>(printing, cl.printer);
  }
  dlg.SetPrinting(printing, *print_dialog);
  dlg.SetRunLedger(ledger);
  dlg.SetFileWatcher(*sources);
  {
    SignalWatcher watcher(env, *window, dlg);
    window->DoModal(dlg);
    // The window has ended: a run still under way stops at its next record
    // and closes its files before anything it uses goes away.
    dlg.RequestStop();
    dlg.WaitForRun();
  }
  window.reset();

  if (dlg.invalid_invocation() || dlg.definition_refused()) return ExitStatus(2);
  return ExitStatus(dlg.failure_reported() ? 1 : 0);
}
