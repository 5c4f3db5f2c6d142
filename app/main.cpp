// tavrin-report: makes the reports of TavrinReport.ini, once or on a schedule.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/main_dialog.h"
#include "platform/ado/providers.h"
#include "platform/env/env.h"
#include "platform/print/cups_backend.h"
#include "platform/print/print_dialog.h"
#include "platform/profile/profile.h"
#include "platform/window/window_factory.h"

namespace {

const char kProgramName[] = "tavrin-report";

int g_signal_pipe[2] = {-1, -1};

extern "C" void OnSignal(int sig) {
  const unsigned char byte = static_cast<unsigned char>(sig);
  const int saved = errno;
  [[maybe_unused]] ssize_t n = write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

// Turns SIGINT and SIGTERM into the close box: a watcher thread reads the
// signal from a pipe that the async-signal-safe handler writes, and asks the
// window and the run to end. Destruction stops the watcher.
class SignalWatcher {
 public:
  SignalWatcher(tavrin::WindowServices& window, tavrin::CTavrinReportGeneratorDlg& dlg) {
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    thread_ = std::thread([this, &window, &dlg] {
      unsigned char byte = 0;
      while (read(g_signal_pipe[0], &byte, 1) < 0 && errno == EINTR) {
      }
      if (byte == 0) return;  // stop request from the destructor
      signal_ = byte;
      dlg.RequestStop();
      window.Close();
    });
  }
  ~SignalWatcher() {
    if (!thread_.joinable()) return;
    const unsigned char stop = 0;
    [[maybe_unused]] ssize_t n = write(g_signal_pipe[1], &stop, 1);
    thread_.join();
  }
  int signal() const { return signal_; }

 private:
  std::thread thread_;
  std::atomic<int> signal_{0};
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const tavrin::CommandLine cl = tavrin::ParseCommandLine(args);
  if (!cl.error.empty()) {
    std::fprintf(stderr, "%s: %s\n\n%s", kProgramName, cl.error.c_str(),
                 tavrin::UsageText(kProgramName).c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(tavrin::UsageText(kProgramName).c_str(), stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("%s 7.000\n", kProgramName);
    return 0;
  }

  // A FIFO or pipe whose reader went away fails the write (EPIPE) and the
  // report says so, instead of the program ending without a word.
  signal(SIGPIPE, SIG_IGN);

  tavrin::Env& env = *tavrin::Env::Default();
  const std::string several = tavrin::SeveralReportsWarning(cl);
  if (cl.check) {
    if (!several.empty()) std::fprintf(stderr, "%s: %s\n", kProgramName, several.c_str());
    tavrin::ado::DefaultProviders providers(env);
    const tavrin::CheckResult result =
        tavrin::CheckReports(env, *tavrin::DefaultProfileStore(), providers, cl.report);
    std::fputs(result.text.c_str(), stdout);
    return result.status;
  }
  const bool interactive =
      cl.interactive || (!cl.unattended && tavrin::IsInteractiveTerminal());
  std::unique_ptr<tavrin::WindowServices> window = tavrin::NewWindowServices(
      interactive ? tavrin::WindowMode::kInteractive : tavrin::WindowMode::kUnattended, env);
  if (!several.empty()) window->Notice(several, tavrin::Severity::kWarning);

  tavrin::ado::DefaultProviders providers(env);
  tavrin::CTavrinReportGeneratorDlg dlg(env, *window, tavrin::DefaultProfileStore(), providers,
                                        cl.report, kProgramName);
  // A printer named on the command line, or nobody to ask, takes the
  // choice out of the user's hands.
  tavrin::CupsPrintBackend printing(
      [&window](const std::string& text) { window->Notice(text, tavrin::Severity::kWarning); });
  std::unique_ptr<tavrin::PrintDialog> print_dialog;
  if (interactive && cl.printer.empty()) {
    print_dialog = std::make_unique<tavrin::WindowPrintDialog>(*window, printing);
  } else {
    print_dialog = std::make_unique<tavrin::PresetPrintDialog>(printing, cl.printer);
  }
  dlg.SetPrinting(printing, *print_dialog);
  int caught_signal = 0;
  {
    SignalWatcher watcher(*window, dlg);
    window->DoModal(dlg);
    // The window has ended: a run still under way stops at its next record
    // and closes its files before anything it uses goes away.
    dlg.RequestStop();
    dlg.WaitForRun();
    caught_signal = watcher.signal();
  }
  window.reset();

  if (caught_signal != 0) return 128 + caught_signal;
  if (dlg.invalid_invocation() || dlg.definition_refused()) return 2;
  return dlg.failure_reported() ? 1 : 0;
}
