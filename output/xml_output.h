#ifndef TAVRIN_OUTPUT_XML_OUTPUT_H_
#define TAVRIN_OUTPUT_XML_OUTPUT_H_

#include <memory>
#include <string>
#include <vector>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/field_values.h"
#include "output/file_output.h"
#include "platform/fs/published_file.h"
#include "run/run_host.h"

namespace tavrin {

// The XML-like file: the header file's lines, one block per record, and the
// trailer file's lines when the walk completed. Field texts are written as
// they are unless the report asks for them escaped (m_bXMLEscapeText).
class XmlOutput : public FileOutput {
 public:
  // Opens the output file as the delimited kind does (null when it cannot
  // be, after the box OpenOutputFile shows) and copies the header file into
  // it. When the header file cannot be read (CopyTextFile's failure), the
  // report goes on with its boxes and statuses, but the file is not
  // published: a feed without its header would replace the good one that
  // readers have.
  static std::unique_ptr<XmlOutput> Open(const CReportDefinition& def, RunHost& host, FileSystem& files);

  // `files` reads the trailer file and must outlive the object.
  XmlOutput(const CReportDefinition& def, RunHost& host, FileSystem& files, std::unique_ptr<PublishedFile> file);

  // The XML-like block of `org`: the record delimiters around one line per
  // field, each field's text trimmed (and with m_bXMLEscapeText, "&", "<"
  // and ">" escaped) between its delimiters.
  void WriteRecord(const tagORG_INFO& org) override;
  // A complete walk copies the trailer file (a failure of CopyTextFile when
  // it cannot be read); then the file is published, unless the header or
  // the trailer could not be read. A stopped walk, or a stop during the trailer,
  // discards it.
  void End(WalkEnd how) override;

 private:
  // The header or trailer file (INI key `key`, at `path`) could not be
  // read for `why`: what was written is dropped, so that the previous file
  // stays, and an error notice names the key and says what the path holds.
  void Withhold(const char* key, const std::string& path, const std::string& why);

  FileSystem& files_;
  bool withheld_ = false;
  std::vector<FieldReader> readers_;  // the report's fields, resolved once
  std::string block_;                 // reused, so a record costs no allocation
  std::string scratch_;
};

// How a copy of a text file ended.
enum class CopyEnd { kCopied, kFailed, kStopped };

// Copies the header or trailer file at `path`, named by the INI key `key`,
// into `out` line by line, every line ended by a line feed (a CR before a
// line feed is dropped with it). The file is read in pieces of bounded
// size, so a file without line ends takes no more memory than another, and
// `host` is asked between pieces whether to stop (kStopped). When the file
// cannot be opened, shows "Could not open %s for reading" as a failure,
// saying what the path is when it is not a regular file (a folder, a FIFO,
// a device, which are never opened); when a read fails, "Could not read %s".
// Either way returns kFailed with the reason in `why` ("cannot be read: "
// and the system's text).
CopyEnd CopyTextFile(FileSystem& files, const std::string& path, const char* key, PublishedFile& out,
                     RunHost& host, std::string* why);

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_XML_OUTPUT_H_
