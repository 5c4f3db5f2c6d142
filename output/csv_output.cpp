#include "output/csv_output.h"

#include "output/field_values.h"
#include "platform/text/ascii.h"

namespace tavrin {

std::unique_ptr<CsvOutput> CsvOutput::Open(const CReportDefinition& def, RunHost& host) {
  std::unique_ptr<PublishedFile> file = OpenOutputFile(def, host);
  if (!file) return nullptr;
  return std::make_unique<CsvOutput>(def, host, std::move(file));
}

void CsvOutput::WriteRecord(const tagORG_INFO& org) { WriteCsvRecord(*file_, def_, org); }

void CsvOutput::End(WalkEnd how) {
  if (how == WalkEnd::kStopped) {
    DiscardStopped();
  } else {
    PublishOutputFile(*file_, host_);
  }
}

void WriteCsvRecord(PublishedFile& file, const CReportDefinition& def, const tagORG_INFO& org) {
  if (def.m_FieldInfoArray.empty()) return;
  std::string line;
  for (const FieldInfo& field : def.m_FieldInfoArray) {
    if (&field != &def.m_FieldInfoArray.front()) line += ',';
    const std::string value = GetFieldValue(field, org, def.m_nXMLDateFormat);
    if (field.bStringValue) {
      line += '"';
      line += value;
      line += '"';
    } else {
      line += text::Trim(value);
    }
  }
  line += '\n';
  file.Write(line);
}

}  // namespace tavrin
