#include "app/command_line.h"

#include <utility>

namespace tavrin {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  std::vector<std::string> positional;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Anything that starts with "-" is an option, so that "-h" never becomes
    // a report (and an INI section); a lone "-" is a name.
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      cl.help = true;
    } else if (arg == "--version" || arg == "-V") {
      cl.version = true;
    } else if (arg == "--unattended") {
      cl.unattended = true;
    } else if (arg == "--interactive") {
      cl.interactive = true;
    } else if (arg == "--window") {
      cl.window = true;
    } else if (arg == "--check") {
      cl.check = true;
    } else if (arg == "--as-service") {
      cl.as_service = true;
    } else if (arg == "--status") {
      cl.status = true;
    } else if (arg == "--json") {
      cl.json = true;
    } else if (arg == "--printer") {
      if (i + 1 < args.size() && !args[i + 1].empty()) {
        cl.printer = args[++i];
      } else if (cl.error.empty()) {
        cl.error = "--printer needs the name of a printer";
      }
    } else if (cl.error.empty()) {
      cl.error = "unknown option '" + arg + "'";
    }
  }
  if (cl.unattended + cl.interactive + cl.window > 1 && cl.error.empty())
    cl.error = "--window, --unattended and --interactive exclude each other";
  if (cl.as_service && !cl.check && cl.error.empty()) cl.error = "--as-service goes with --check";
  if (cl.json && !cl.status && cl.error.empty()) cl.error = "--json goes with --status";
  if (cl.status && cl.check && cl.error.empty()) cl.error = "--status and --check exclude each other";
  // Exactly one argument names the report; none, or two or more, mean the
  // schedule.
  if (positional.size() == 1) cl.report = positional[0];
  cl.reports = std::move(positional);
  return cl;
}

std::string SeveralReportsWarning(const CommandLine& cl) {
  if (cl.reports.size() < 2) return "";
  std::string names;
  for (const std::string& name : cl.reports) names += (names.empty() ? "\"" : ", \"") + name + "\"";
  return "Only one report can be named on the command line; with " + std::to_string(cl.reports.size()) +
         " (" + names + ") the reports of [Report Schedule] run instead.";
}

std::string UsageText(const std::string& program) {
  return "Usage: " + program + " [OPTIONS] [REPORT]\n"
         "       " + program + " --check [REPORT]\n"
         "       " + program + " --status [--json] [REPORT]\n"
         "\n"
         "Makes the reports defined in TavrinReport.ini in the current folder.\n"
         "With REPORT, runs that report once and ends; without, runs the reports of\n"
         "the [Report Schedule] section at their intervals until none is left.\n"
         "\n"
         "Options:\n"
         "  --unattended   log to standard error and answer every message box with OK\n"
         "                 (the default when standard input or output is not a terminal)\n"
         "  --interactive  show the status panel and wait for the user at message boxes\n"
         "  --window       show the desktop window (the default on a desktop when standard\n"
         "                 input is not a terminal; needs package tavrin-report-desktop)\n"
         "  --check        check REPORT (or every scheduled report) without running it or\n"
         "                 writing to the INI; exit status 0 when everything checks\n"
         "  --as-service   with --check: check as the systemd services would run, as their\n"
         "                 user (run it as root) and with the folders they hide or cannot\n"
         "                 write\n"
         "  --status       show the last run of REPORT (or of every scheduled report) from\n"
         "                 the run history, without running anything; exit status 0 when\n"
         "                 each last run completed, 1 when one failed or never ran\n"
         "  --json         with --status: print it as JSON\n"
         "  --printer NAME print listings on printer NAME instead of asking for one or\n"
         "                 using the default printer\n"
         "  -h, --help     show this text and exit\n"
         "  -V, --version  show the version and exit\n"
         "  --             end of options (for a report name that begins with -)\n"
         "\n"
         "Exit status: 0 all runs finished without an error, 1 an error was reported\n"
         "(--check: a problem was found; --status: a last run did not complete), 2\n"
         "invalid invocation or report refused, 130/143 ended by SIGINT/SIGTERM.\n";
}

}  // namespace tavrin
