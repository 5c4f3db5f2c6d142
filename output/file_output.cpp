#include "output/file_output.h"

namespace tavrin {

std::string FileOutput::Discard() {
  file_->Discard();
  const char* what = file_->direct()    ? " got only part of it"
                     : file_->existed() ? " is kept as it was"
                                        : " was not written";
  return file_->path() + what;
}

void FileOutput::DiscardStopped() { host_.Notice(StoppedNotice(def_, Discard()), Severity::kWarning); }

std::unique_ptr<PublishedFile> StartOutputFile(const CReportDefinition& def, RunHost& host, FileSystem& files,
                                               const std::function<void()>& failure) {
  // A path that cannot be used here fails as one that cannot be created,
  // before anything is created.
  if (!def.m_OutputFilenameKey.usable()) {
    failure();
    def.NoticeRefusal(host, def.m_OutputFilenameKey);
    return nullptr;
  }
  std::string why;
  std::unique_ptr<PublishedFile> file =
      PublishedFile::Create(files, def.m_strOutputFilename, [&host] { return host.StopRequested(); }, &why);
  if (!file) {
    failure();
    NoticeKeyFailure(def, host, "OutputFilename",
                     CReportDefinition::WrittenValue(def.m_OutputFilenameKey, def.m_strOutputFilename),
                     "cannot be created: " + why);
  }
  return file;
}

std::unique_ptr<PublishedFile> OpenOutputFile(const CReportDefinition& def, RunHost& host, FileSystem& files) {
  return StartOutputFile(def, host, files, [&] {
    ShowOutputFailure(host, "Could not open " + def.m_strOutputFilename + " for output - report canceled");
  });
}

void PublishOutputFile(PublishedFile& file, RunHost& host) {
  if (!file.Publish()) ShowOutputFailure(host, "Could not write " + file.path() + " - report canceled");
}

}  // namespace tavrin
