#include "output/report_generator.h"

#include <filesystem>
#include <fstream>
#include <string_view>
#include <utility>

#include "output/field_values.h"

namespace tavrin {
namespace {

// Shows a failure to write out a finished file; the previous file at the
// path, if any, stays untouched.
void PublishOrReport(PublishedFile& file, CReportGenerator& generator) {
  if (!file.Publish()) generator.ShowFailure("Could not write " + file.path() + " - report canceled");
}

// The delimited file: one line per record, no heading, no header or trailer.
class CsvOutput : public ReportOutput {
 public:
  CsvOutput(CReportGenerator& generator, std::unique_ptr<PublishedFile> file)
      : generator_(generator), file_(std::move(file)) {}
  void WriteRecord(const tagORG_INFO& org) override { generator_.WriteCsvRecord(*file_, org); }
  void End(bool) override { PublishOrReport(*file_, generator_); }

 private:
  CReportGenerator& generator_;
  std::unique_ptr<PublishedFile> file_;
};

// The XML-like file: the header file's lines, one block per record, and the
// trailer file's lines when the walk completed.
class XmlOutput : public ReportOutput {
 public:
  XmlOutput(CReportGenerator& generator, std::unique_ptr<PublishedFile> file)
      : generator_(generator), file_(std::move(file)) {}
  void WriteRecord(const tagORG_INFO& org) override { generator_.WriteXmlRecord(*file_, org); }
  void End(bool complete) override {
    const std::string& trailer = generator_.definition().m_strTrailerFile;
    if (complete && !trailer.empty() && !CReportGenerator::CopyTextFile(trailer, *file_)) {
      generator_.ShowFailure("Could not open " + trailer + " for reading");
    }
    PublishOrReport(*file_, generator_);
  }

 private:
  CReportGenerator& generator_;
  std::unique_ptr<PublishedFile> file_;
};

}  // namespace

OutputKind ParseOutputKind(const std::string& text) {
  static constexpr std::pair<std::string_view, OutputKind> kKinds[] = {
      {"CSV", OutputKind::kCsv},   {"Printer", OutputKind::kPrinter},
      {"SQLServer", OutputKind::kSqlServer}, {"HTML", OutputKind::kHtml},
      {"XML", OutputKind::kXml},
  };
  for (const auto& [name, kind] : kKinds) {
    if (EqualsAsciiNoCase(text, name)) return kind;
  }
  return OutputKind::kCsv;
}

CReportGenerator::CReportGenerator(const CReportDefinition& def, OrgReader& org_db, RunHost& host)
    : def_(def), org_db_(org_db), host_(host) {}

void CReportGenerator::GenerateReport() {
  const int32_t count = org_db_.GetRecordCount();
  const OutputKind kind = ParseOutputKind(def_.m_strOutput);
  if (kind == OutputKind::kHtml) {
    WriteHtmlPage();
    return;
  }
  const std::unique_ptr<ReportOutput> output = PrepareOutput(kind);
  if (!output) return;

  tagORG_INFO org;
  bool complete = true;
  for (int32_t i = 0; i < count; ++i) {
    if (host_.StopRequested()) {
      complete = false;
      break;
    }
    host_.SetStatus("Processing " + std::to_string(i) + " of " + std::to_string(count));
    // Division first: with 100 records the 30th shows 28, not 29.
    host_.SetProgress(static_cast<int>(static_cast<double>(i) / count * 100.0));
    if (i == 0) output->BeginRecords();
    // A failed read ends the report silently, as far as it got.
    if (!(i == 0 ? org_db_.GetFirstOrg(org) : org_db_.GetNextOrg(org))) {
      complete = false;
      break;
    }
    output->WriteRecord(org);
  }
  output->End(complete);
}

std::unique_ptr<ReportOutput> CReportGenerator::PrepareOutput(OutputKind kind) {
  switch (kind) {
    case OutputKind::kPrinter:
    case OutputKind::kSqlServer:
      ShowFailure(std::string("Output kind \"") +
                  (kind == OutputKind::kPrinter ? "Printer" : "SQLServer") +
                  "\" is not available in this version - report canceled");
      return nullptr;
    case OutputKind::kXml: {
      std::unique_ptr<PublishedFile> file = OpenOutputFile();
      if (!file) return nullptr;
      if (!def_.m_strHeaderFile.empty() && !CopyTextFile(def_.m_strHeaderFile, *file)) {
        ShowFailure("Could not open " + def_.m_strHeaderFile + " for reading");
      }
      return std::make_unique<XmlOutput>(*this, std::move(file));
    }
    case OutputKind::kCsv:
    case OutputKind::kHtml:
      break;
  }
  std::unique_ptr<PublishedFile> file = OpenOutputFile();
  if (!file) return nullptr;
  return std::make_unique<CsvOutput>(*this, std::move(file));
}

std::unique_ptr<PublishedFile> CReportGenerator::OpenOutputFile() {
  std::unique_ptr<PublishedFile> file = PublishedFile::Create(def_.m_strOutputFilename);
  if (!file) ShowFailure("Could not open " + def_.m_strOutputFilename + " for output - report canceled");
  return file;
}

void CReportGenerator::ShowFailure(const std::string& text) {
  host_.SetStatus(text);
  host_.MessageBox(text, "", BoxStyle::kAppWarning);
}

void CReportGenerator::WriteCsvRecord(PublishedFile& file, const tagORG_INFO& org) {
  if (def_.m_FieldInfoArray.empty()) return;
  std::string line;
  for (const FieldInfo& field : def_.m_FieldInfoArray) {
    if (&field != &def_.m_FieldInfoArray.front()) line += ',';
    const std::string value = GetFieldValue(field, org, def_.m_nXMLDateFormat);
    if (field.bStringValue) {
      line += '"';
      line += value;
      line += '"';
    } else {
      line += TrimWhiteSpace(value);
    }
  }
  line += '\n';
  file.Write(line);
}

void CReportGenerator::WriteXmlRecord(PublishedFile& file, const tagORG_INFO& org) {
  std::string block = "    " + def_.m_strRecordDelimiterOpen;
  for (const FieldInfo& field : def_.m_FieldInfoArray) {
    const std::string value = GetFieldValue(field, org, def_.m_nXMLDateFormat);
    block += "        ";
    block += field.strXMLDelimiterOpen;
    block += TrimWhiteSpace(value);
    block += field.strXMLDelimiterClose;
    block += '\n';
  }
  block += "    ";
  block += def_.m_strRecordDelimiterClose;
  file.Write(block);
}

bool CReportGenerator::CopyTextFile(const std::string& path, PublishedFile& out) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    // A line ended by CR LF loses the CR; a last line without a line feed
    // keeps all its bytes and gets a line end.
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    line += '\n';
    out.Write(line);
  }
  return true;
}

}  // namespace tavrin
