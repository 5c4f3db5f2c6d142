#ifndef TAVRIN_OUTPUT_REPORT_OUTPUT_H_
#define TAVRIN_OUTPUT_REPORT_OUTPUT_H_

#include <memory>
#include <string>
#include <vector>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "platform/fs/file_system.h"
#include "platform/print/print_backend.h"
#include "platform/print/print_dialog.h"
#include "run/run_host.h"

namespace tavrin {

// The output kinds, in the order in which m_strOutput is matched to them.
enum class OutputKind { kCsv, kPrinter, kSqlServer, kHtml, kXml };

// The kind that `text` names ("CSV", "Printer", "SQLServer", "HTML", "XML",
// ignoring ASCII case). Any other text selects kCsv.
OutputKind ParseOutputKind(const std::string& text);

// The name of `kind` as an INI value writes it ("CSV", "Printer", ...).
const char* OutputKindName(OutputKind kind);

// How the walk over the records ended.
enum class WalkEnd {
  kComplete,      // every record was written
  kReadFailed,    // a read failed: the output is kept as far as it got
  kStopped,       // the user or a signal asked the program to end
  kOutputFailed,  // the output could take no more records (see Failed)
};

// One output kind as the report driver runs it. The factory below prepares
// it (opens its file, printer or database); the driver then calls
// BeginRecords once when there is a record to read, WriteRecord for each
// record read, and End once after the walk. A stop is not an outcome of the
// report: End(kStopped) leaves what the output replaces as it was where the
// kind can (the files discard what was written), and logs once through
// RunHost::Notice what the output holds. Destroying an output without End
// (an exception from the record source) releases it as it stands.
// Used on the run thread only.
class ReportOutput {
 public:
  virtual ~ReportOutput() = default;
  // Whether the walk shows its per-record status and progress for this kind.
  virtual bool ShowsProgress() const { return true; }
  // Before the first read (the listing prints its heading here).
  virtual void BeginRecords() {}
  virtual void WriteRecord(const tagORG_INFO& org) = 0;
  // True once the output can take no more records (its database connection
  // was lost): the walk ends before the next record.
  virtual bool Failed() const { return false; }
  virtual void End(WalkEnd how) = 0;
  // Where the records went, for the line that sums up a run: "written to
  // FILE", "printed on PRINTER", "published to SERVER". Never a password.
  virtual std::string Destination() const = 0;
};

class COutputDatabase;

// What the output kinds need from the program beyond the report definition.
// app/ makes the real services; tests pass their doubles. Everything named
// must outlive the outputs made with it.
struct OutputServices {
  // Implicit, so that a run host alone makes the services of the file kinds
  // on the Linux file system.
  OutputServices(RunHost& run_host, FileSystem& file_system = *FileSystem::Default())  // NOLINT(google-explicit-constructor)
      : host(run_host), files(file_system) {}
  RunHost& host;
  // Every file an output kind looks at, reads or publishes.
  FileSystem& files;
  // The printing system and the print dialog of the printed listing; without
  // both, a "Printer" report is refused with a box.
  PrintBackend* print_backend = nullptr;
  PrintDialog* print_dialog = nullptr;
  // The output database of "SQLServer" reports; required for them.
  COutputDatabase* output_database = nullptr;
};

// Prepares the output of `kind` for the report `def`. Null when the report
// cannot be written; the failure has been reported through the host then.
// `def` must outlive the result.
std::unique_ptr<ReportOutput> MakeReportOutput(OutputKind kind, const CReportDefinition& def,
                                               const OutputServices& services);

// The columns of table Org (as kOrgColumns names them) whose values the
// output of report `def` writes: its fields' for the kinds that write its
// fields, the page's three, every one for the SQL Server publication. A
// reader of the records may leave the others unread.
std::vector<std::string> OrgColumnsRead(const CReportDefinition& def);

// Reports a failure of an output the way the driver does: the run is marked
// failed, the status line set to `text`, and `text` shown in a warning box.
void ShowOutputFailure(RunHost& host, const std::string& text);

// Follows a failure's box or status with the one line of the log that says
// what to change: an error notice naming the report's section, the INI key
// `key`, its `value` and the `reason` (see CReportDefinition::KeyNotice).
void NoticeKeyFailure(const CReportDefinition& def, RunHost& host, const std::string& key,
                      const std::string& value, const std::string& reason);

// The log line of report `def` stopped before its end, `what` telling what
// its output holds now ("big.csv is kept as it was").
std::string StoppedNotice(const CReportDefinition& def, const std::string& what);

// Logs that report `def` was stopped before its output was prepared, so
// that the output is as it was before the run (a file kind names its file,
// which `files` looks at).
void NoteStoppedBeforeOutput(const CReportDefinition& def, RunHost& host, FileSystem& files);

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_REPORT_OUTPUT_H_
