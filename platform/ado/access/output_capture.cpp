#include "platform/ado/access/output_capture.h"

#include <cstring>

namespace tavrin::ado::access {

OutputCapture::OutputCapture()
    : stream_(fmemopen(buffer_, sizeof buffer_, "w")), saved_out_(stdout), saved_err_(stderr) {
  // Not flushed first: in a forked child another thread of the parent may
  // have held their locks, and what they buffered is the parent's to write.
  if (!stream_) return;  // no capture possible: libmdb prints as it would
  stdout = stream_;
  stderr = stream_;
}

OutputCapture::~OutputCapture() {
  if (!stream_) return;
  stdout = saved_out_;
  stderr = saved_err_;
  std::fclose(stream_);
}

std::vector<std::string> OutputCapture::Take() {
  std::vector<std::string> lines;
  if (!stream_) return lines;
  std::fflush(stream_);
  const long end = std::ftell(stream_);
  const std::string text(buffer_, end > 0 ? static_cast<size_t>(end) : 0);
  std::rewind(stream_);
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find('\n', start);
    if (stop == std::string::npos) stop = text.size();
    // libmdb pads some of its messages with blank lines.
    if (text.find_first_not_of(" \t\r", start) < stop) lines.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  constexpr size_t kMaxLines = 10;
  if (lines.size() > kMaxLines) {
    const size_t more = lines.size() - kMaxLines;
    lines.resize(kMaxLines);
    lines.push_back("(" + std::to_string(more) + " more warnings)");
  }
  return lines;
}

}  // namespace tavrin::ado::access
