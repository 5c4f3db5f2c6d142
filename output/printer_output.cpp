#include "output/printer_output.h"

#include "output/field_values.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

constexpr char kFace[] = "Courier";
constexpr int kFontPoints = 10;
constexpr int32_t kTopMargin = 30;
constexpr int32_t kBottomMargin = 30;
constexpr int32_t kLeftMargin = 40;
constexpr int32_t kLineSpacing = 2;
// The heading line, the blank line and 50 record lines.
constexpr int kLinesPerPage = 52;
constexpr int kHeadingLines = 2;

}  // namespace

std::string FormatPrintHeading(const std::vector<FieldInfo>& fields) {
  static const std::string kPad(80, ' ');
  std::string line;
  for (const FieldInfo& field : fields) {
    if (field.nLength <= 0) continue;
    std::string name = field.strFieldName;
    for (char& c : name)
      if (c == '[' || c == ']') c = ' ';
    const std::string cell = std::string(text::Trim(name)) + kPad;
    line.append(text::Utf8Prefix(cell, static_cast<size_t>(field.nLength)));
  }
  return line;
}

std::unique_ptr<PrinterOutput> PrinterOutput::Open(const CReportDefinition& def,
                                                   const OutputServices& services) {
  if (services.print_backend == nullptr || services.print_dialog == nullptr) {
    ShowOutputFailure(services.host, "Printing is not available - report canceled");
    return nullptr;
  }
  auto output = std::make_unique<PrinterOutput>(def, *services.print_backend,
                                                *services.print_dialog, services.host);
  CPrinterDC& dc = output->dc_;
  // As on paper: each step does nothing once the dialog was cancelled or the
  // printer failed, and the walk goes on.
  if (dc.OpenPrinter()) output->printer_ = dc.printer();
  dc.StartJob();
  dc.AddFont(kFace, kFontPoints);
  dc.SetMargins(kTopMargin, kBottomMargin, kLeftMargin);
  dc.SetLineSpacing(kLineSpacing);
  dc.StartPage();
  return output;
}

PrinterOutput::PrinterOutput(const CReportDefinition& def, PrintBackend& backend,
                             PrintDialog& dialog, RunHost& host)
    : def_(def), host_(host), dc_(backend, dialog, [&host](const std::string& text) {
        host.RecordFailure();
        host.MessageBox(text + " The listing is not printed.", "", BoxStyle::kAppWarning);
      }) {}

void PrinterOutput::PrintHeading() {
  dc_.PrintLine(FormatPrintHeading(def_.m_FieldInfoArray));
  dc_.PrintLine(" ");
  lines_ = kHeadingLines;
}

void PrinterOutput::BeginRecords() { PrintHeading(); }

void PrinterOutput::WriteRecord(const tagORG_INFO& org) {
  dc_.PrintLine(FormatPrintLine(def_.m_FieldInfoArray, def_.m_nXMLDateFormat, org, previous_));
  ++lines_;
  previous_ = org;
  if (lines_ == kLinesPerPage) {
    dc_.EndPage();
    dc_.StartPage();
    PrintHeading();
  }
}

void PrinterOutput::End(WalkEnd how) {
  if (how == WalkEnd::kComplete) {
    dc_.EndJob();
    return;
  }
  dc_.CancelJob();
  if (how == WalkEnd::kStopped)
    host_.Notice(StoppedNotice(def_, "the print job was cancelled; nothing was printed"),
                 Severity::kWarning);
}

}  // namespace tavrin
