#ifndef TAVRIN_TESTS_PRINT_SERVER_H_
#define TAVRIN_TESTS_PRINT_SERVER_H_

// A private CUPS scheduler for the printing tests, and reading back what it
// printed.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace tavrin::test {

// cupsd running in a temporary folder of its own, listening on a Unix socket
// there, without systemd, as the user the test runs as. Its queues write
// each job as a PDF file (the last job of a queue replaces the one before).
// Stopped and removed with the object.
class PrintServer {
 public:
  // Throws std::runtime_error with a clear message when the CUPS programs
  // are missing or the server does not start.
  PrintServer();
  ~PrintServer();
  PrintServer(const PrintServer&) = delete;
  PrintServer& operator=(const PrintServer&) = delete;

  // Adds queue `name` with the driver demo/listing-to-file.ppd, whose
  // default paper is `page_size` (Letter, Legal, A4 or A6).
  // `accepts_pdf` false makes a queue that takes only plain text.
  void AddQueue(const std::string& name, const std::string& page_size = "Letter",
                bool accepts_pdf = true);
  void SetDefault(const std::string& name);
  // The queue takes no more jobs.
  void Reject(const std::string& name);

  // What a client needs in its environment to use this server (and not the
  // user's own lpoptions).
  std::map<std::string, std::string> ClientEnv() const;
  // The file queue `name` writes.
  std::string OutputOf(const std::string& name) const;
  // Waits until no job is queued or printing; false after 30 seconds.
  bool WaitForJobs() const;
  // The server's error log, for a failed test's message.
  std::string Log() const;

 private:
  // Runs a CUPS client program against this server; throws when it fails.
  void Client(const std::string& program, const std::vector<std::string>& args) const;

  TempDir dir_;
  pid_t pid_ = -1;
};

// One word of a printed page, at its place in points from the top-left
// corner, as `pdftotext -bbox` gives it.
struct PrintedWord {
  double x_min, y_min, x_max, y_max;
  std::string text;
};

struct PrintedPage {
  double width = 0, height = 0;  // points
  std::vector<PrintedWord> words;
};

// The pages of the PDF file `path` with their words; empty when the file
// cannot be read.
std::vector<PrintedPage> ReadPrintedPages(const std::string& path);

// The lines of `page` as a fixed-pitch printer put them: the words of each
// line (words with the same top) placed at the character column that their
// left edge shows, for characters `advance` points wide from `left`. Lines
// without words (blank ones) are not seen, nor trailing blanks. For ASCII
// text.
std::vector<std::string> PageLines(const PrintedPage& page, double left, double advance);

}  // namespace tavrin::test

#endif  // TAVRIN_TESTS_PRINT_SERVER_H_
