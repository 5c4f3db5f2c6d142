#ifndef TAVRIN_OUTPUT_PRINTER_OUTPUT_H_
#define TAVRIN_OUTPUT_PRINTER_OUTPUT_H_

#include <memory>
#include <string>
#include <vector>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/report_output.h"
#include "platform/print/printer_dc.h"
#include "run/run_host.h"

namespace tavrin {

// The heading line of the printed listing, without a line end: for each
// field its name with every "[" and "]" made a blank and white space trimmed
// at both ends, followed by 80 blanks and cut to nLength characters (empty
// when nLength is 0 or less); no separator between cells.
std::string FormatPrintHeading(const std::vector<FieldInfo>& fields);

// The printed listing: a fixed-pitch listing in 10-point "Courier" within
// margins of 30 points (top and bottom) and 40 (left), lines 2 points
// apart. Each page the listing begins has the heading line and a blank
// line, then up to 50 record lines (FormatPrintLine, a repeated sort value
// blank); the page ends right after its fiftieth record line. A page too
// short for that continues on pages that the device begins, without heading.
//
// When the user cancels the print dialog nothing is printed and nothing is
// said; when no printer can be chosen or the printer refuses the job, one
// warning box says why and the run counts as failed. Either way the walk
// goes on through every record. A walk that does not complete (a failed
// read, a stop) cancels the job, so a part of a listing is never printed.
class PrinterOutput : public ReportOutput {
 public:
  // Sets up the listing: the print dialog, the job, the font, the margins
  // and spacing, the first page. Null, after a failure box, only when the
  // services carry no printing system.
  static std::unique_ptr<PrinterOutput> Open(const CReportDefinition& def,
                                             const OutputServices& services);

  PrinterOutput(const CReportDefinition& def, PrintBackend& backend, PrintDialog& dialog,
                RunHost& host);

  // The heading lines of the first page.
  void BeginRecords() override;
  void WriteRecord(const tagORG_INFO& org) override;
  // Ends the job when the walk completed; cancels it otherwise, and a stop
  // says once in the log that nothing was printed.
  void End(WalkEnd how) override;
  // "printed on PRINTER", or that none was chosen (a cancelled dialog).
  std::string Destination() const override {
    return printer_.empty() ? "not printed (no printer was chosen)" : "printed on " + printer_;
  }

 private:
  void PrintHeading();

  std::string printer_;  // the printer chosen; empty when none was
  const CReportDefinition& def_;
  RunHost& host_;
  CPrinterDC dc_;
  tagORG_INFO previous_;  // the last record printed; empty at first
  int lines_ = 0;         // lines on the listing's current page
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_PRINTER_OUTPUT_H_
