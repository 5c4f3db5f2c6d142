#include "output/report_output.h"

#include <sys/stat.h>

#include <stdexcept>
#include <string_view>
#include <utility>

#include "output/csv_output.h"
#include "output/html_output.h"
#include "output/printer_output.h"
#include "output/sqlserver_output.h"
#include "output/xml_output.h"
#include "platform/text/ascii.h"

namespace tavrin {

namespace {

constexpr std::pair<const char*, OutputKind> kKinds[] = {
    {"CSV", OutputKind::kCsv},   {"Printer", OutputKind::kPrinter},
    {"SQLServer", OutputKind::kSqlServer}, {"HTML", OutputKind::kHtml},
    {"XML", OutputKind::kXml},
};

}  // namespace

OutputKind ParseOutputKind(const std::string& text) {
  for (const auto& [name, kind] : kKinds) {
    if (text::EqualsIgnoreAsciiCase(text, name)) return kind;
  }
  return OutputKind::kCsv;
}

const char* OutputKindName(OutputKind kind) {
  for (const auto& [name, k] : kKinds) {
    if (k == kind) return name;
  }
  return "CSV";
}

void ShowOutputFailure(RunHost& host, const std::string& text) {
  host.SetFailureStatus(text);
  host.MessageBox(text, "", BoxStyle::kAppWarning);
}

void NoticeKeyFailure(const CReportDefinition& def, RunHost& host, const std::string& key,
                      const std::string& value, const std::string& reason) {
  host.Notice(def.KeyNotice(key, value, reason), Severity::kError);
}

std::string StoppedNotice(const CReportDefinition& def, const std::string& what) {
  return def.m_strReportName + ": stopped before the report was finished; " + what;
}

void NoteStoppedBeforeOutput(const CReportDefinition& def, RunHost& host, FileSystem& files) {
  switch (ParseOutputKind(def.m_strOutput)) {
    case OutputKind::kPrinter:
      host.Notice(StoppedNotice(def, "nothing was printed"), Severity::kWarning);
      return;
    case OutputKind::kSqlServer:
      host.Notice(StoppedNotice(def, "table vesk_org was not changed"), Severity::kWarning);
      return;
    default:
      break;
  }
  struct stat st;
  const bool exists = files.Stat(def.m_strOutputFilename, &st) == 0;
  host.Notice(StoppedNotice(def, def.m_strOutputFilename +
                                     (exists ? " is kept as it was" : " was not written")),
              Severity::kWarning);
}

std::unique_ptr<ReportOutput> MakeReportOutput(OutputKind kind, const CReportDefinition& def,
                                               const OutputServices& services) {
  RunHost& host = services.host;
  switch (kind) {
    case OutputKind::kPrinter:
      return PrinterOutput::Open(def, services);
    case OutputKind::kSqlServer:
      if (!services.output_database)
        throw std::logic_error("SQLServer output without an output database");
      return SqlServerOutput::Open(def, *services.output_database, host);
    case OutputKind::kXml:
      return XmlOutput::Open(def, host, services.files);
    case OutputKind::kHtml:
      return HtmlOutput::Open(def, host, services.files);
    case OutputKind::kCsv:
      break;
  }
  return CsvOutput::Open(def, host, services.files);
}

std::vector<std::string> OrgColumnsRead(const CReportDefinition& def) {
  std::vector<std::string> columns;
  switch (ParseOutputKind(def.m_strOutput)) {
    case OutputKind::kHtml:
      return {"Category", "Organization Name", "Status"};
    case OutputKind::kSqlServer:
      for (const OrgColumn& column : kOrgColumns) columns.emplace_back(column.name);
      return columns;
    case OutputKind::kCsv:
    case OutputKind::kPrinter:
    case OutputKind::kXml:
      break;
  }
  for (const FieldInfo& field : def.m_FieldInfoArray)
    if (const OrgColumn* column = FieldColumn(field.strFieldName)) columns.emplace_back(column->name);
  return columns;
}

}  // namespace tavrin
