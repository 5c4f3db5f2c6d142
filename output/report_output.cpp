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

OutputKind ParseOutputKind(const std::string& text) {
  static constexpr std::pair<std::string_view, OutputKind> kKinds[] = {
      {"CSV", OutputKind::kCsv},   {"Printer", OutputKind::kPrinter},
      {"SQLServer", OutputKind::kSqlServer}, {"HTML", OutputKind::kHtml},
      {"XML", OutputKind::kXml},
  };
  for (const auto& [name, kind] : kKinds) {
    if (text::EqualsIgnoreAsciiCase(text, name)) return kind;
  }
  return OutputKind::kCsv;
}

void ShowOutputFailure(RunHost& host, const std::string& text) {
  host.RecordFailure();
  host.SetStatus(text);
  host.MessageBox(text, "", BoxStyle::kAppWarning);
}

std::string StoppedNotice(const CReportDefinition& def, const std::string& what) {
  return def.m_strReportName + ": stopped before the report was finished; " + what;
}

void NoteStoppedBeforeOutput(const CReportDefinition& def, RunHost& host) {
  switch (ParseOutputKind(def.m_strOutput)) {
    case OutputKind::kPrinter:
      host.Notice(StoppedNotice(def, "nothing was printed"));
      return;
    case OutputKind::kSqlServer:
      host.Notice(StoppedNotice(def, "table vesk_org was not changed"));
      return;
    default:
      break;
  }
  struct stat st;
  const bool exists = stat(def.m_strOutputFilename.c_str(), &st) == 0;
  host.Notice(StoppedNotice(def, def.m_strOutputFilename +
                                     (exists ? " is kept as it was" : " was not written")));
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
      return XmlOutput::Open(def, host);
    case OutputKind::kHtml:
      return HtmlOutput::Open(def, host);
    case OutputKind::kCsv:
      break;
  }
  return CsvOutput::Open(def, host);
}

}  // namespace tavrin
