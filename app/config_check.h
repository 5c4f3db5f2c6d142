#ifndef TAVRIN_APP_CONFIG_CHECK_H_
#define TAVRIN_APP_CONFIG_CHECK_H_

#include <functional>
#include <string>

#include "platform/ado/provider.h"
#include "platform/env/env.h"
#include "platform/fs/file_system.h"
#include "platform/profile/profile.h"

namespace tavrin {

class CReportDefinition;

struct CheckResult {
  std::string text;  // what the check found, lines ending in "\n"
  int status = 0;    // 0 when everything checks, 1 otherwise
};

// Checks the report named `report` (empty: every report of the schedule)
// of TavrinReport.ini in env.CurrentDirectory(), as far as that is possible
// without running it. For each report the text gives its output kind,
// source, destination, fields and query, and one line starting "error: "
// for each problem, naming the report and the INI key that holds it:
// - a field name that would give "VALUE NOT FOUND" (kinds that write fields);
// - a Where or sort field that does not compile, prepared against table Org
//   of the source without reading a row, or against an empty table of Org's
//   columns when the source cannot be opened (itself a problem);
// - a path (DataPath, OutputFilename, HeaderFile, TrailerFile) that is a
//   Windows path with no line in [Path Mapping] (the line to add is named);
//   a path that a line maps is shown with what it maps to, on a line of its
//   own;
// - a source whose Org lacks columns;
// - a header or trailer file that is missing or cannot be read;
// - an output folder that does not exist or is not writable;
// - a connection string that cannot be translated (its password masked);
// - the output kind "INVALID" (the report would be refused).
// Lines starting "warning: " tell of what runs but may be a typo; they do
// not change the status.
//
// Nothing is written: the INI is read through `store` and never written
// back (missing keys take their defaults only in memory), the other files
// are looked at and read through `files`, and no report runs. `env`,
// `files`, `store` and `providers` are used during the call only.
//
// `more`, when set, checks each report that loaded further, after the
// report's own lines; each finding it adds is a line of the report (an
// error counts as a problem, a warning does not).
using FindingSink = std::function<void(bool error, const std::string& key, const std::string& value,
                                       const std::string& what)>;
using MoreReportChecks = std::function<void(const CReportDefinition& def, const FindingSink& add)>;
CheckResult CheckReports(Env& env, FileSystem& files, ProfileStore& store, ado::ProviderFactory& providers,
                         const std::string& report, const MoreReportChecks& more = {});

}  // namespace tavrin

#endif  // TAVRIN_APP_CONFIG_CHECK_H_
