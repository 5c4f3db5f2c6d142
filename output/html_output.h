#ifndef TAVRIN_OUTPUT_HTML_OUTPUT_H_
#define TAVRIN_OUTPUT_HTML_OUTPUT_H_

#include <memory>
#include <string>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/file_output.h"
#include "platform/fs/published_file.h"
#include "run/run_host.h"

namespace tavrin {

// The HTML status page: the page, body and heading pieces of the
// definition, then for each record a category heading when the category
// differs (byte for byte) from the last one headed, and its "%s is %s" line;
// a notice when there is no record; the closing pieces when the walk
// completed. The pieces of the definition are the page's markup and stand as
// written; the texts from the database (category, name, status) are
// escaped, so that whoever can edit the database cannot put markup or script
// into the page. It reports on standard output, never in a box, and leaves
// the status line and progress as the earlier steps of the run set them.
class HtmlOutput : public FileOutput {
 public:
  // Opens the page and writes its opening pieces. Null when it cannot be
  // opened, after writing "Can't open output file: %s" to standard output,
  // recording the failure, and logging why as an error notice.
  static std::unique_ptr<HtmlOutput> Open(const CReportDefinition& def, RunHost& host, FileSystem& files);

  HtmlOutput(const CReportDefinition& def, RunHost& host, std::unique_ptr<PublishedFile> file)
      : FileOutput(def, host, std::move(file)) {}

  bool ShowsProgress() const override { return false; }
  void WriteRecord(const tagORG_INFO& org) override;
  // Publishes the page as far as it got; a complete page says "Completed
  // successfully." on standard output, a page that cannot be put in place
  // "Can't write output file: %s" (a failure). A stopped walk discards it.
  void End(WalkEnd how) override;

  std::string previous_category_;
  bool any_record_ = false;
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_HTML_OUTPUT_H_
