#ifndef TAVRIN_PLATFORM_PRINT_FAKE_PRINT_BACKEND_H_
#define TAVRIN_PLATFORM_PRINT_FAKE_PRINT_BACKEND_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/print/print_backend.h"

namespace tavrin {

// Test double of the printing system: scripted printers and failures, and
// jobs that record their font, pages and lines with positions. A text is as
// high as `line_height`, except the empty text, which measures 0 so that a
// caller that measures it shows. Used from one thread.
class FakePrintBackend : public PrintBackend {
 public:
  struct Line {
    int x = 0, y = 0;
    std::string text;
    bool operator==(const Line&) const = default;
  };
  struct Page {
    std::vector<Line> lines;
    bool ended = false;
  };
  struct Job {
    std::string destination, title;
    std::string font;
    int font_height = 0;
    std::vector<Page> pages;
    std::vector<std::string> measured;  // every TextHeight, in order
    bool finished = false;              // Finish called and succeeded
    bool cancelled = false;             // destroyed without Finish, or Finish failed
  };

  // Scripted.
  std::string server = "printhost:631";
  DestinationList destinations;
  std::string start_error;   // StartJob fails with it when set
  std::string finish_error;  // Finish fails with it when set
  int dpi = 600;
  int page_width = 5100;  // Letter at 600 dpi
  int page_height = 6600;
  int line_height = 95;

  // Recorded.
  std::vector<Job> jobs;
  int list_calls = 0;

  std::string ServerName() const override { return server; }
  DestinationList ListDestinations() override;
  std::unique_ptr<PrintJob> StartJob(const std::string& destination, const std::string& title,
                                     std::string& error) override;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PRINT_FAKE_PRINT_BACKEND_H_
