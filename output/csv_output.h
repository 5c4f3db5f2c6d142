#ifndef TAVRIN_OUTPUT_CSV_OUTPUT_H_
#define TAVRIN_OUTPUT_CSV_OUTPUT_H_

#include <memory>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/file_output.h"
#include "output/published_file.h"
#include "run/run_host.h"

namespace tavrin {

// The delimited file: one line per record, no heading, no header or trailer.
class CsvOutput : public FileOutput {
 public:
  // Opens the output file; null after showing failure 1 when it cannot be.
  static std::unique_ptr<CsvOutput> Open(const CReportDefinition& def, RunHost& host);

  CsvOutput(const CReportDefinition& def, RunHost& host, std::unique_ptr<PublishedFile> file)
      : FileOutput(def, host, std::move(file)) {}

  void WriteRecord(const tagORG_INFO& org) override;
  // Publishes the file as far as it got; a stopped walk discards it.
  void End(WalkEnd how) override;
};

// The delimited line of `org`: for each field its text quoted unchanged
// (bStringValue) or trimmed of white space, commas between, a line feed
// after; nothing for a report without fields. Written with one write.
void WriteCsvRecord(PublishedFile& file, const CReportDefinition& def, const tagORG_INFO& org);

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_CSV_OUTPUT_H_
