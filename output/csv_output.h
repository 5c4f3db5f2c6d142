#ifndef TAVRIN_OUTPUT_CSV_OUTPUT_H_
#define TAVRIN_OUTPUT_CSV_OUTPUT_H_

#include <memory>
#include <string>
#include <vector>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/field_values.h"
#include "output/file_output.h"
#include "platform/fs/published_file.h"
#include "run/run_host.h"

namespace tavrin {

// The delimited file: one line per record, no heading, no header or trailer.
class CsvOutput : public FileOutput {
 public:
  // Opens the output file; null when it cannot be, after the box "Could not
  // open %s for output - report canceled" (OpenOutputFile).
  static std::unique_ptr<CsvOutput> Open(const CReportDefinition& def, RunHost& host, FileSystem& files);

  CsvOutput(const CReportDefinition& def, RunHost& host, std::unique_ptr<PublishedFile> file);

  // The delimited line of `org`: for each field its text quoted unchanged
  // (bStringValue) or trimmed of white space, commas between, a line feed
  // after; nothing for a report without fields. Written with one write.
  void WriteRecord(const tagORG_INFO& org) override;
  // Publishes the file as far as it got; a stopped walk discards it.
  void End(WalkEnd how) override;

 private:
  struct Column {
    FieldReader reader;
    bool quoted;
  };
  std::vector<Column> columns_;  // the report's fields, resolved once
  std::string line_;             // reused, so a record costs no allocation
  std::string scratch_;
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_CSV_OUTPUT_H_
