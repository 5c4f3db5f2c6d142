#include "output/xml_output.h"

#include <unistd.h>

#include <cerrno>

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

// A header or trailer path that cannot be used here fails as a file that
// cannot be opened does, and the log says why.
void RefuseFile(const CReportDefinition& def, const IniPath& file, RunHost& host) {
  ShowOutputFailure(host, CannotOpenText(file.value));
  def.NoticeRefusal(host, file);
}

}  // namespace

std::unique_ptr<XmlOutput> XmlOutput::Open(const CReportDefinition& def, RunHost& host) {
  std::unique_ptr<PublishedFile> file = OpenOutputFile(def, host);
  if (!file) return nullptr;
  // A stop during the header is seen by the driver before the first record.
  if (!def.m_HeaderFileKey.usable()) {
    RefuseFile(def, def.m_HeaderFileKey, host);
  } else if (!def.m_strHeaderFile.empty()) {
    CopyTextFile(def.m_strHeaderFile, "HeaderFile", *file, host);
  }
  return std::make_unique<XmlOutput>(def, host, std::move(file));
}

XmlOutput::XmlOutput(const CReportDefinition& def, RunHost& host, std::unique_ptr<PublishedFile> file)
    : FileOutput(def, host, std::move(file)) {
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
      block_ += text::EscapeMarkup(text, text::MarkupEscape::kText);
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
  if (how == WalkEnd::kComplete && !def_.m_TrailerFileKey.usable()) {
    RefuseFile(def_, def_.m_TrailerFileKey, host_);
  } else if (how == WalkEnd::kComplete && !trailer.empty() &&
             !CopyTextFile(trailer, "TrailerFile", *file_, host_)) {
    how = WalkEnd::kStopped;
  }
  if (how == WalkEnd::kStopped) {
    DiscardStopped();
  } else {
    PublishOutputFile(*file_, host_);
  }
}

bool CopyTextFile(const std::string& path, const char* key, PublishedFile& out, RunHost& host) {
  fs::UniqueFd fd;
  mode_t type = 0;
  if (fs::OpenRegularFile(path, &fd, &type) != 0) {
    std::string text = CannotOpenText(path);
    if (type != 0) text += std::string(" - ") + key + " is " + fs::FileTypeName(type) + ", not a regular file";
    ShowOutputFailure(host, text);
    return true;
  }
  // A CR at the end of a piece may be the first half of a CR LF.
  bool held_cr = false;
  char last = '\n';  // what the copy ended with so far; nothing counts as a line end
  char buffer[kPieceSize];
  for (;;) {
    if (host.StopRequested()) return false;
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ShowOutputFailure(host, "Could not read " + path);
      break;
    }
    if (n == 0) break;
    std::string piece = held_cr ? "\r" : "";
    piece.append(buffer, static_cast<size_t>(n));
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
  return true;
}

}  // namespace tavrin
