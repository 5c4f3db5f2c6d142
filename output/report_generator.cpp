#include "output/report_generator.h"

#include <memory>
#include <string>

#include "output/field_values.h"

namespace tavrin {

ReportOutcome CReportGenerator::GenerateReport() {
  ReportOutcome outcome;
  if (host_.StopRequested()) {
    NoteStoppedBeforeOutput(def_, host_, services_.files);
    return outcome;
  }
  const int32_t count = org_db_.GetRecordCount();
  const OutputKind kind = ParseOutputKind(def_.m_strOutput);
  const std::unique_ptr<ReportOutput> output = MakeReportOutput(kind, def_, services_);
  if (!output) return outcome;
  // The page and the table take fixed columns; the other kinds write the
  // report's fields.
  if (kind != OutputKind::kHtml && kind != OutputKind::kSqlServer) WarnUnknownFields(def_, host_);

  tagORG_INFO org;
  WalkEnd end = WalkEnd::kComplete;
  for (int32_t i = 0; i < count; ++i) {
    if (host_.StopRequested()) {
      end = WalkEnd::kStopped;
      break;
    }
    if (output->Failed()) {
      end = WalkEnd::kOutputFailed;
      break;
    }
    if (output->ShowsProgress()) {
      host_.SetRecordStatus("Processing " + std::to_string(i) + " of " + std::to_string(count), i, count);
      // Division first: with 100 records the 30th shows 28, not 29.
      host_.SetProgress(static_cast<int>(static_cast<double>(i) / count * 100.0));
    }
    if (i == 0) output->BeginRecords();
    // A failed read ends the report silently, as far as it got; one of a
    // source that changed meanwhile ends it unpublished, as a stop does:
    // the records written are not all of one version of the source.
    if (!(i == 0 ? org_db_.GetFirstOrg(org) : org_db_.GetNextOrg(org))) {
      end = WalkEnd::kReadFailed;
      if (org_db_.SourceChanged()) {
        end = WalkEnd::kStopped;
        host_.SourceChanged();
        host_.Notice(def_.m_strReportName + ": the database changed while the report read it", Severity::kError);
      }
      break;
    }
    output->WriteRecord(org);
    ++outcome.written;
  }
  if (end == WalkEnd::kComplete && output->Failed()) end = WalkEnd::kOutputFailed;
  if (end == WalkEnd::kComplete && count > 0 && output->ShowsProgress()) {
    host_.SetRecordStatus("Processing " + std::to_string(count) + " of " + std::to_string(count), count, count);
    host_.SetProgress(100);
  }
  // A stop that came while the output was prepared (a long header), after
  // the last record or with a failed read still ends the report as a stop.
  if (host_.StopRequested()) end = WalkEnd::kStopped;
  output->End(end);
  outcome.destination = output->Destination();
  return outcome;
}

}  // namespace tavrin
