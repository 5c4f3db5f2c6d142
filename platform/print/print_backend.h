#ifndef TAVRIN_PLATFORM_PRINT_PRINT_BACKEND_H_
#define TAVRIN_PLATFORM_PRINT_PRINT_BACKEND_H_

#include <memory>
#include <string>
#include <vector>

namespace tavrin {

// A printer that jobs can be sent to.
struct PrintDestination {
  std::string name;         // the queue's name, as jobs address it
  std::string description;  // what the server says of it (may be empty)
  bool is_default = false;
};

// The printers of the print server, or why they could not be asked for.
struct DestinationList {
  std::vector<PrintDestination> destinations;
  // Not empty when the server could not be asked: a sentence for the user
  // that names the server.
  std::string error;
};

// One print document on its way to a printer, drawn in device units
// (pixels of the device) from the top-left corner of the page, x to the
// right and y downward. Pages are begun and ended by the caller; drawing
// outside a page is ignored. Failures of the device (a printer that stopped
// answering) make later drawing do nothing and are reported by Finish.
//
// Destroying a job that was not finished cancels it: nothing of it is
// printed. Not thread-safe; one thread uses a job.
class PrintJob {
 public:
  virtual ~PrintJob() = default;

  // Pixels per inch, horizontally and vertically.
  virtual int DpiX() const = 0;
  virtual int DpiY() const = 0;
  // The printable page in device units.
  virtual int PageWidth() const = 0;
  virtual int PageHeight() const = 0;

  // Selects the fixed-pitch font of family `face` whose characters are
  // `height` device units high (the em, not the line); later text uses it.
  virtual void SetFont(const std::string& face, int height) = 0;
  // The height of a line of `text` in the current font, in device units.
  virtual int TextHeight(const std::string& text) = 0;

  virtual void StartPage() = 0;
  virtual void EndPage() = 0;
  // Draws `text` (UTF-8) on one line with its top-left corner at (x, y).
  virtual void DrawText(int x, int y, const std::string& text) = 0;

  // Ends the document and hands it to the printer. Empty when the printer
  // took it; otherwise why not, as a sentence for the user (the job has been
  // cancelled then). Called at most once; the job does nothing afterwards.
  virtual std::string Finish() = 0;
};

// The printing system: its printers and the jobs sent to them. All
// operations end in bounded time, also when the server never answers.
// Thread-safe.
class PrintBackend {
 public:
  virtual ~PrintBackend() = default;

  // The print server as messages name it (a host and port, or a socket).
  virtual std::string ServerName() const = 0;

  // The printers, with the user's default marked.
  virtual DestinationList ListDestinations() = 0;

  // Starts a document called `title` for the printer `destination`. Null
  // when the printer refuses it, with the reason in `error` as a sentence
  // for the user.
  virtual std::unique_ptr<PrintJob> StartJob(const std::string& destination,
                                             const std::string& title, std::string& error) = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PRINT_PRINT_BACKEND_H_
