#ifndef TAVRIN_PLATFORM_PRINT_CUPS_BACKEND_H_
#define TAVRIN_PLATFORM_PRINT_CUPS_BACKEND_H_

#include <memory>
#include <string>

#include "platform/print/pdf_job.h"
#include "platform/print/print_backend.h"

namespace tavrin {

// The printers of the CUPS server that libcups chooses (CUPS_SERVER,
// client.conf, else the local scheduler) and jobs sent to them as PDF drawn
// by PdfJob (600 dpi). The user's default printer is what libcups says it
// is: LPDEST, PRINTER, then lpoptions, then the server's default.
//
// A job's pages are the user's media for the printer (lpoptions -o media=),
// else the printer's default media, else Letter, and the job asks for that
// media, so no filter scales or moves the page. The document is streamed to
// the server while it is drawn; the server prints nothing before it is
// complete, and a job destroyed before Finish is cancelled.
//
// Every connection is made by this class with its own timeouts: a server
// that accepts the connection and never answers costs a few seconds, never
// minutes. Thread-safe; each job is used by one thread.
class CupsPrintBackend : public PrintBackend {
 public:
  // `notice` is told, once per font, when the font that prints is not the
  // one the job asks for.
  explicit CupsPrintBackend(PrintFonts::Notice notice);
  ~CupsPrintBackend() override;

  std::string ServerName() const override;
  DestinationList ListDestinations() override;
  std::unique_ptr<PrintJob> StartJob(const std::string& destination, const std::string& title,
                                     std::string& error) override;

 private:
  PrintFonts fonts_;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PRINT_CUPS_BACKEND_H_
