#ifndef TAVRIN_APP_COMMAND_LINE_H_
#define TAVRIN_APP_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace tavrin {

// What the command line asks for. Options start with "-" and are taken out
// before the remaining arguments are counted; a lone "--" ends the options.
struct CommandLine {
  std::string report;  // exactly one argument: the report to run once
  std::vector<std::string> reports;  // every report name given, in order
  bool help = false;
  bool version = false;
  bool unattended = false;
  bool interactive = false;
  bool window = false;  // --window: the desktop window
  bool check = false;  // check `report` (or the schedule) instead of running it
  bool as_service = false;  // with check: as the systemd units' user and confinement see it
  bool status = false;  // show the run history of `report` (or the schedule) instead of running it
  bool json = false;    // with status: as JSON
  std::string printer;  // --printer NAME: the printer of printed listings
  std::string error;  // not empty: a usage error, described
};

// Parses the arguments after the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// When two or more report names were given, which means the schedule: the
// warning that says so, naming them; otherwise empty.
std::string SeveralReportsWarning(const CommandLine& cl);

// The help text.
std::string UsageText(const std::string& program);

}  // namespace tavrin

#endif  // TAVRIN_APP_COMMAND_LINE_H_
