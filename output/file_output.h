#ifndef TAVRIN_OUTPUT_FILE_OUTPUT_H_
#define TAVRIN_OUTPUT_FILE_OUTPUT_H_

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "config/report_definition.h"
#include "output/report_output.h"
#include "platform/fs/published_file.h"
#include "run/run_host.h"

namespace tavrin {

// An output kind that writes one published file: what every such kind
// holds. The definition and the host must outlive the object.
class FileOutput : public ReportOutput {
 public:
  std::string Destination() const override { return "written to " + def_.m_strOutputFilename; }

 protected:
  FileOutput(const CReportDefinition& def, RunHost& host, std::unique_ptr<PublishedFile> file)
      : def_(def), host_(host), file_(std::move(file)) {}

  // Ends the output of a stopped run: what was written is dropped, the
  // previous file stays, and the log says so.
  void DiscardStopped();

  // Drops what was written (see PublishedFile::Discard) and tells what the
  // path holds now: "feed.xml is kept as it was", "... was not written", or
  // for a FIFO or device "... got only part of it".
  std::string Discard();

  const CReportDefinition& def_;
  RunHost& host_;
  std::unique_ptr<PublishedFile> file_;
};

// Starts the output file of report `def` on `files` (which must outlive
// it) for a run of `host`, whose stop request ends writes that a FIFO or
// device does not take. Null when it cannot be started (see
// PublishedFile::Create), or when OutputFilename cannot be used here
// (nothing is then created), after an error notice
// naming OutputFilename and the reason; the caller reports the failure
// itself first, with `failure` (called before the notice).
std::unique_ptr<PublishedFile> StartOutputFile(const CReportDefinition& def, RunHost& host, FileSystem& files,
                                               const std::function<void()>& failure);

// The output file of the delimited and XML-like kinds, which open it alike.
// Null when it cannot be created, after showing "Could not open %s for
// output - report canceled" and the notice of StartOutputFile.
std::unique_ptr<PublishedFile> OpenOutputFile(const CReportDefinition& def, RunHost& host, FileSystem& files);

// Publishes `file` of the delimited or XML-like kind; when that fails, shows
// "Could not write %s - report canceled" (the previous file stays).
void PublishOutputFile(PublishedFile& file, RunHost& host);

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_FILE_OUTPUT_H_
