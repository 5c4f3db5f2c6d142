#include "output/file_output.h"

namespace tavrin {

std::unique_ptr<PublishedFile> OpenOutputFile(const CReportDefinition& def, RunHost& host) {
  std::unique_ptr<PublishedFile> file = PublishedFile::Create(def.m_strOutputFilename);
  if (!file)
    ShowOutputFailure(host, "Could not open " + def.m_strOutputFilename + " for output - report canceled");
  return file;
}

void PublishOutputFile(PublishedFile& file, RunHost& host) {
  if (!file.Publish()) ShowOutputFailure(host, "Could not write " + file.path() + " - report canceled");
}

}  // namespace tavrin
