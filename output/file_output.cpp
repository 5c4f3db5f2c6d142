#include "output/file_output.h"

namespace tavrin {

void FileOutput::DiscardStopped() {
  file_->Discard();
  const char* what = file_->direct()    ? " got only part of it"
                     : file_->existed() ? " is kept as it was"
                                        : " was not written";
  host_.Notice(StoppedNotice(def_, file_->path() + what), Severity::kWarning);
}

std::unique_ptr<PublishedFile> StartOutputFile(const std::string& path, RunHost& host) {
  return PublishedFile::Create(path, [&host] { return host.StopRequested(); });
}

std::unique_ptr<PublishedFile> OpenOutputFile(const CReportDefinition& def, RunHost& host) {
  // A path that cannot be used here fails as one that cannot be created.
  std::unique_ptr<PublishedFile> file;
  if (def.m_OutputFilenameKey.usable()) file = StartOutputFile(def.m_strOutputFilename, host);
  if (!file) {
    ShowOutputFailure(host, "Could not open " + def.m_strOutputFilename + " for output - report canceled");
    def.NoticeRefusal(host, def.m_OutputFilenameKey);
  }
  return file;
}

void PublishOutputFile(PublishedFile& file, RunHost& host) {
  if (!file.Publish()) ShowOutputFailure(host, "Could not write " + file.path() + " - report canceled");
}

}  // namespace tavrin
