#ifndef TAVRIN_OUTPUT_REPORT_GENERATOR_H_
#define TAVRIN_OUTPUT_REPORT_GENERATOR_H_

#include <cstdint>
#include <string>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/report_output.h"
#include "run/run_host.h"

namespace tavrin {

// What a report run wrote, for the line that sums it up.
struct ReportOutcome {
  int32_t written = 0;      // records handed to the output
  std::string destination;  // ReportOutput::Destination; empty: no output was made
};

// The report driver: walks the records of the open source query and hands
// each to the output of the report's kind (report_output.h), setting the
// status line and progress value as it goes. Failures are reported by the
// outputs; the driver itself never fails.
//
// The definition, the reader and the services must outlive the object. Used
// on the run thread only.
class CReportGenerator {
 public:
  CReportGenerator(const CReportDefinition& def, OrgReader& org_db, const OutputServices& services)
      : def_(def), org_db_(org_db), services_(services), host_(services.host) {}

  CReportGenerator(const CReportGenerator&) = delete;
  CReportGenerator& operator=(const CReportGenerator&) = delete;

  // Writes the whole report: takes the record count, prepares the output,
  // warns of report fields that name no column (WarnUnknownFields), and for
  // each record sets "Processing %d of %d" and the progress (unless the kind
  // shows none), reads it and writes it; a complete walk of M records ends
  // with "Processing M of M" and 100, so that the log's progress reaches
  // the end. A failed read ends the walk silently, unless the source
  // changed while the walk read it (OrgReader::SourceChanged): then the
  // output ends as stopped, the host hears of it (RunHost::SourceChanged),
  // and the log says "<report>: the database changed while the report read
  // it" as an error; a stop request ends it
  // between two records and the output ends as stopped (WalkEnd::kStopped);
  // an output that failed for good (WalkEnd::kOutputFailed) ends it there
  // too. Stopped before it began, it prepares no output and only logs that
  // the output is as it was. Returns what was written.
  ReportOutcome GenerateReport();

 private:
  const CReportDefinition& def_;
  OrgReader& org_db_;
  const OutputServices services_;
  RunHost& host_;
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_REPORT_GENERATOR_H_
