#include "output/csv_output.h"

#include "platform/text/ascii.h"

namespace tavrin {

std::unique_ptr<CsvOutput> CsvOutput::Open(const CReportDefinition& def, RunHost& host, FileSystem& files) {
  std::unique_ptr<PublishedFile> file = OpenOutputFile(def, host, files);
  if (!file) return nullptr;
  return std::make_unique<CsvOutput>(def, host, std::move(file));
}

CsvOutput::CsvOutput(const CReportDefinition& def, RunHost& host, std::unique_ptr<PublishedFile> file)
    : FileOutput(def, host, std::move(file)) {
  for (const FieldInfo& field : def.m_FieldInfoArray)
    columns_.push_back({FieldReader(field, def.m_nXMLDateFormat), field.bStringValue});
}

void CsvOutput::WriteRecord(const tagORG_INFO& org) {
  if (columns_.empty()) return;
  line_.clear();
  for (const Column& column : columns_) {
    if (&column != &columns_.front()) line_ += ',';
    const std::string_view value = column.reader.Value(org, scratch_);
    if (column.quoted) {
      line_ += '"';
      line_ += value;
      line_ += '"';
    } else {
      line_ += text::Trim(value);
    }
  }
  line_ += '\n';
  file_->Write(line_);
}

void CsvOutput::End(WalkEnd how) {
  if (how == WalkEnd::kStopped) {
    DiscardStopped();
  } else {
    PublishOutputFile(*file_, host_);
  }
}

}  // namespace tavrin
