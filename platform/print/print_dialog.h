#ifndef TAVRIN_PLATFORM_PRINT_PRINT_DIALOG_H_
#define TAVRIN_PLATFORM_PRINT_PRINT_DIALOG_H_

#include <optional>
#include <string>

#include "platform/print/print_backend.h"
#include "platform/window/window.h"

namespace tavrin {

// What the print dialog ended with.
struct PrinterChoice {
  enum Result {
    kChosen,     // `printer` names the printer
    kCancelled,  // the user chose not to print
    kFailed,     // no printer could be chosen; `error` says why, for the user
  };
  Result result = kCancelled;
  std::string printer;
  std::string error;
};

// Chooses the printer of a print job.
class PrintDialog {
 public:
  virtual ~PrintDialog() = default;
  // Blocks the calling thread until a printer is chosen, the choice is
  // cancelled, or no printer can be chosen.
  virtual PrinterChoice DoModal() = 0;
};

// Fills `list` with the printers of `backend`'s server; when there is none
// to choose (the server failed, or has no printer), returns the failure a
// print dialog ends with.
std::optional<PrinterChoice> ListOrFail(PrintBackend& backend, DestinationList& list);

// The print dialog of a user at the window: a question that lists the
// printers, numbered from 1 with the default marked "*", and "0) Cancel".
// Enter takes the default; a number or a printer's name (letter case
// ignored) chooses; "0", "q", Escape or the end of input cancel. Any other
// answer, or Enter when there is no default, asks again with the reason.
// The window and the backend must outlive the object.
class WindowPrintDialog : public PrintDialog {
 public:
  WindowPrintDialog(WindowServices& window, PrintBackend& backend)
      : window_(window), backend_(backend) {}
  PrinterChoice DoModal() override;

 private:
  WindowServices& window_;
  PrintBackend& backend_;
};

// The choice made beforehand, for a run that nobody attends: the printer
// `printer` names (letter case ignored) when it is not empty, else the
// default printer. A name the server does not know, or no default, fails:
// nobody chose not to print. The backend must outlive the object.
class PresetPrintDialog : public PrintDialog {
 public:
  PresetPrintDialog(PrintBackend& backend, std::string printer)
      : backend_(backend), printer_(std::move(printer)) {}
  PrinterChoice DoModal() override;

 private:
  PrintBackend& backend_;
  const std::string printer_;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PRINT_PRINT_DIALOG_H_
