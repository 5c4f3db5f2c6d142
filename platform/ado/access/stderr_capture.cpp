#include "platform/ado/access/stderr_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "platform/env/stderr_lock.h"

namespace tavrin::ado::access {

CapturedStderr::CapturedStderr()
    : lock_(StderrLock()), file_(memfd_create("tavrin-libmdb", MFD_CLOEXEC)) {
  std::fflush(stderr);
  if (!file_.valid()) return;  // no capture possible: libmdb prints as it would
  saved_ = ::dup(STDERR_FILENO);
  if (saved_ >= 0 && ::dup2(file_.get(), STDERR_FILENO) < 0) {
    ::close(saved_);
    saved_ = -1;
  }
}

CapturedStderr::~CapturedStderr() { Restore(); }

std::vector<std::string> CapturedStderr::Take() {
  std::fflush(stderr);
  std::vector<std::string> lines;
  if (!file_.valid()) return lines;
  std::string text;
  char buf[4096];
  ssize_t n;
  while (text.size() < 65536 && (n = pread(file_.get(), buf, sizeof buf, read_)) > 0) {
    text.append(buf, static_cast<size_t>(n));
    read_ += n;
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  constexpr size_t kMaxLines = 10;
  if (lines.size() > kMaxLines) {
    const size_t more = lines.size() - kMaxLines;
    lines.resize(kMaxLines);
    lines.push_back("(" + std::to_string(more) + " more warnings)");
  }
  return lines;
}

void CapturedStderr::Restore() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  saved_ = -1;
}

}  // namespace tavrin::ado::access
