#ifndef TAVRIN_PLATFORM_PRINT_PRINTER_DC_H_
#define TAVRIN_PLATFORM_PRINT_PRINTER_DC_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/print/print_backend.h"
#include "platform/print/print_dialog.h"

namespace tavrin {

// A printing device that prints one line of text at a time below the last,
// in one font, within margins, starting a new page by itself when a line
// would not fit. Margins and spacing are given in points (1/72 inch) and
// converted to device units at each use with the device's resolution,
// rounded to the nearest unit; positions count from the page's top-left
// corner.
//
// States: no printer; printer attached (OpenPrinter); job started
// (StartJob); page open (StartPage). Without a job every operation does
// nothing. A failure (no printer can be chosen, the printer refuses the job
// or the document) goes to `on_failure` as a sentence for the user, and the
// device holds no printer afterwards, so each failure is told once. A
// cancelled dialog is not a failure. Destroying the device with a job
// under way cancels the job: nothing of it is printed.
//
// The backend and the dialog must outlive the object. Not thread-safe.
class CPrinterDC {
 public:
  using FailureSink = std::function<void(const std::string& text)>;

  CPrinterDC(PrintBackend& backend, PrintDialog& dialog, FailureSink on_failure)
      : backend_(backend), dialog_(dialog), on_failure_(std::move(on_failure)) {}

  // Lets the user choose the printer (the dialog); true when one is attached.
  bool OpenPrinter();
  // The name of the printer attached; empty when none is.
  const std::string& printer() const { return printer_; }
  // Starts the document, with an empty name, on the printer attached, and
  // takes the page's size; true when it started.
  bool StartJob();
  // Prints the later lines in the fixed-pitch font `face`, `points` high.
  void AddFont(const std::string& face, int points);
  // Sets the margins and puts the line cursor at the top margin.
  void SetMargins(int32_t top, int32_t bottom, int32_t left);
  // The extra space between two lines.
  void SetLineSpacing(int32_t points);
  // Begins a page and puts the line cursor at the top margin.
  void StartPage();
  void EndPage();
  // EndPage, then StartPage.
  void NewPage();
  // Prints `text` at the left margin and the line cursor and moves the
  // cursor down by the line's height (an empty text measured as "A") and
  // the spacing. A line that would reach below the bottom margin goes to
  // the top of a new page instead, unless the cursor is at the top already
  // (a line too tall for any page gets a page of its own, not a blank one
  // before it). A line is neither wrapped nor cut.
  void PrintLine(const std::string& text);
  // Ends the open page and the document and releases the printer; true
  // when the printer took the document.
  bool EndJob();
  // Cancels the job under way and releases the printer: nothing is printed.
  void CancelJob();

 private:
  int DeviceX(int32_t points) const;
  int DeviceY(int32_t points) const;
  void Fail(const std::string& text);

  PrintBackend& backend_;
  PrintDialog& dialog_;
  const FailureSink on_failure_;

  std::string printer_;  // empty: no printer attached
  std::unique_ptr<PrintJob> job_;
  bool page_open_ = false;
  int page_height_ = 0;                                    // device units
  int32_t top_ = 0, bottom_ = 0, left_ = 0, spacing_ = 0;  // points
  int cursor_ = 0;                                         // device units: the top of the next line
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PRINT_PRINTER_DC_H_
