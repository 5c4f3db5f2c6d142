#include "output/xml_output.h"

#include <cerrno>
#include <cstring>

#include "platform/fs/regular_file.h"
#include "platform/text/ascii.h"
#include "platform/text/markup.h"

namespace tavrin {
namespace {

constexpr size_t kPieceSize = 64 * 1024;

// `piece` with each CR LF turned into LF.
std::string DropCrBeforeLf(std::string_view piece) {
  std::string text;
  text.reserve(piece.size());
  for (size_t i = 0; i < piece.size(); ++i) {
    if (piece[i] == '\r' && i + 1 < piece.size() && piece[i + 1] == '\n') continue;
    text += piece[i];
  }
  return text;
}

std::string CannotOpenText(const std::string& path) { return "Could not open " + path + " for reading"; }

// Copies the header or trailer file that `file` names (at `path`, where it
// leads) into `out`. A path that cannot be used here fails as a file that
// cannot be opened does, with the refusal as the reason.
CopyEnd CopyKeyFile(FileSystem& files, const char* key, const IniPath& file, const std::string& path,
                    PublishedFile& out, RunHost& host, std::string* why) {
  if (!file.usable()) {
    ShowOutputFailure(host, CannotOpenText(file.value));
    *why = file.refusal;
    return CopyEnd::kFailed;
  }
  return CopyTextFile(files, path, key, out, host, why);
}

}  // namespace

std::unique_ptr<XmlOutput> XmlOutput::Open(const CReportDefinition& def, RunHost& host, FileSystem& files) {
  std::unique_ptr<PublishedFile> file = OpenOutputFile(def, host, files);
  if (!file) return nullptr;
  // A stop during the header is seen by the driver before the first record.
  std::string why;
  const bool failed = !def.m_strHeaderFile.empty() &&
                      CopyKeyFile(files, "HeaderFile", def.m_HeaderFileKey, def.m_strHeaderFile, *file, host,
                                  &why) == CopyEnd::kFailed;
  auto output = std::make_unique<XmlOutput>(def, host, files, std::move(file));
  if (failed)
    output->Withhold("HeaderFile", CReportDefinition::WrittenValue(def.m_HeaderFileKey, def.m_strHeaderFile), why);
  return output;
}

void XmlOutput::Withhold(const char* key, const std::string& path, const std::string& why) {
  withheld_ = true;
  NoticeKeyFailure(def_, host_, key, path, why + "; " + Discard());
}

XmlOutput::XmlOutput(const CReportDefinition& def, RunHost& host, FileSystem& files,
                     std::unique_ptr<PublishedFile> file)
    : FileOutput(def, host, std::move(file)), files_(files) {
  for (const FieldInfo& field : def.m_FieldInfoArray) readers_.emplace_back(field, def.m_nXMLDateFormat);
}

void XmlOutput::WriteRecord(const tagORG_INFO& org) {
  block_ = "    ";
  block_ += def_.m_strRecordDelimiterOpen;
  for (size_t i = 0; i < readers_.size(); ++i) {
    const FieldInfo& field = def_.m_FieldInfoArray[i];
    block_ += "        ";
    block_ += field.strXMLDelimiterOpen;
    const std::string_view text = text::Trim(readers_[i].Value(org, scratch_));
    if (def_.m_bXMLEscapeText) {
      block_ += text::EscapeMarkup(text, text::MarkupEscape::kXmlText);
    } else {
      block_ += text;
    }
    block_ += field.strXMLDelimiterClose;
    block_ += '\n';
  }
  block_ += "    ";
  block_ += def_.m_strRecordDelimiterClose;
  file_->Write(block_);
}

void XmlOutput::End(WalkEnd how) {
  const std::string& trailer = def_.m_strTrailerFile;
  if (how == WalkEnd::kComplete && !trailer.empty()) {
    std::string why;
    switch (CopyKeyFile(files_, "TrailerFile", def_.m_TrailerFileKey, trailer, *file_, host_, &why)) {
      case CopyEnd::kCopied: break;
      case CopyEnd::kFailed:
        Withhold("TrailerFile", CReportDefinition::WrittenValue(def_.m_TrailerFileKey, trailer), why);
        break;
      case CopyEnd::kStopped: how = WalkEnd::kStopped; break;
    }
  }
  if (how == WalkEnd::kStopped) {
    DiscardStopped();
  } else if (!withheld_) {
    PublishOutputFile(*file_, host_);
  }
}

CopyEnd CopyTextFile(FileSystem& files, const std::string& path, const char* key, PublishedFile& out,
                     RunHost& host, std::string* why) {
  fs::UniqueFd fd;
  mode_t type = 0;
  if (const int err = fs::OpenRegularFile(path, &fd, &type, files); err != 0) {
    std::string text = CannotOpenText(path);
    if (type != 0) text += std::string(" - ") + key + " is " + fs::FileTypeName(type) + ", not a regular file";
    ShowOutputFailure(host, text);
    *why = type != 0 ? std::string("cannot be read: it is ") + fs::FileTypeName(type) + ", not a regular file"
                     : std::string("cannot be read: ") + std::strerror(err);
    return CopyEnd::kFailed;
  }
  // A CR at the end of a piece may be the first half of a CR LF.
  bool held_cr = false;
  char last = '\n';  // what the copy ended with so far; nothing counts as a line end
  char buffer[kPieceSize];
  for (;;) {
    if (host.StopRequested()) return CopyEnd::kStopped;
    size_t n = 0;
    if (const int err = files.Read(fd.get(), buffer, sizeof buffer, &n); err != 0) {
      *why = std::string("cannot be read: ") + std::strerror(err);
      ShowOutputFailure(host, "Could not read " + path);
      return CopyEnd::kFailed;
    }
    if (n == 0) break;
    std::string piece = held_cr ? "\r" : "";
    piece.append(buffer, n);
    held_cr = piece.back() == '\r';
    if (held_cr) piece.pop_back();
    if (piece.empty()) continue;
    last = piece.back();
    out.Write(DropCrBeforeLf(piece));
  }
  // A last line without a line feed keeps all its bytes and gets a line end.
  if (held_cr) {
    out.Write("\r");
    last = '\r';
  }
  if (last != '\n') out.Write("\n");
  return CopyEnd::kCopied;
}

}  // namespace tavrin
