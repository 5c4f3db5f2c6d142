#ifndef TAVRIN_OUTPUT_REPORT_GENERATOR_H_
#define TAVRIN_OUTPUT_REPORT_GENERATOR_H_

#include <memory>
#include <string>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/published_file.h"
#include "platform/run_host.h"

namespace tavrin {

// The output kinds, in the order in which m_strOutput is matched to them.
enum class OutputKind { kCsv, kPrinter, kSqlServer, kHtml, kXml };

// The kind that `text` names ("CSV", "Printer", "SQLServer", "HTML", "XML",
// ignoring ASCII case). Any other text selects kCsv.
OutputKind ParseOutputKind(const std::string& text);

// One record-by-record output kind, as the report driver runs it. Preparing
// the output (opening files, a printer or a database) is done before the
// object is handed to the driver; the driver then calls BeginRecords once
// when there is a record to read, WriteRecord for each record read, and End
// once after the walk. Destroying the object without End (an exception from
// the record source) releases the output as it stands.
class ReportOutput {
 public:
  virtual ~ReportOutput() = default;
  // Before the first read (the listing prints its heading here).
  virtual void BeginRecords() {}
  virtual void WriteRecord(const tagORG_INFO& org) = 0;
  // `complete` is false when a read failed or a stop was requested: the
  // output is then kept as far as it got, without its closing part.
  virtual void End(bool complete) = 0;
};

// The report driver: walks the records of the open source query and writes
// them in the report's output kind. Failures are shown through `host`
// (status line and a warning box); the driver itself never fails.
//
// All three references must outlive the object. Used on the run thread only.
class CReportGenerator {
 public:
  CReportGenerator(const CReportDefinition& def, OrgReader& org_db, RunHost& host);

  CReportGenerator(const CReportGenerator&) = delete;
  CReportGenerator& operator=(const CReportGenerator&) = delete;

  // Writes the whole report. A stop request ends the walk between two
  // records; the files written so far are published as they stand.
  void GenerateReport();

  // The delimited line of `org` (quoted or trimmed cells, commas, a line
  // feed). Nothing for a report without fields.
  void WriteCsvRecord(PublishedFile& file, const tagORG_INFO& org);

  // The XML-like block of `org`: the record delimiters around one line per
  // field.
  void WriteXmlRecord(PublishedFile& file, const tagORG_INFO& org);

  // The whole HTML status page, with a record walk of its own. Reports on
  // standard output through the host, never in a box.
  void WriteHtmlPage();

  // Copies the text file at `path` into `out` line by line, every line ended
  // by a line feed. False when the file cannot be opened.
  static bool CopyTextFile(const std::string& path, PublishedFile& out);

  // Shows a failure: the status line and a warning box with `text`.
  void ShowFailure(const std::string& text);

  const CReportDefinition& definition() const { return def_; }

 private:
  // Prepares the output of `kind` (not kHtml). Null when the report cannot
  // be written; the failure has been shown then.
  std::unique_ptr<ReportOutput> PrepareOutput(OutputKind kind);

  // Creates the output file of the delimited and XML-like kinds, or shows
  // the failure and returns null.
  std::unique_ptr<PublishedFile> OpenOutputFile();

  const CReportDefinition& def_;
  OrgReader& org_db_;
  RunHost& host_;
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_REPORT_GENERATOR_H_
