#include "platform/window/console_layout.h"

#include <algorithm>
#include <cstddef>

#include "platform/text/utf8.h"

namespace tavrin {

namespace {

constexpr int kLabelWidth = 18;  // "Percent Complete: "
constexpr char kVersion[] = "Version 7.000";

// At most `width` characters of `s`, never splitting a UTF-8 character.
// Control characters and bytes that are not UTF-8 become '?', so a text from
// a file or database cannot move the cursor or change the terminal.
std::string Cut(const std::string& s, int width) {
  std::string out;
  size_t i = 0;
  for (int cols = 0; i < s.size() && cols < width; ++cols) {
    const text::Utf8Char ch = text::DecodeUtf8(s, i);
    const char32_t c = ch.code_point;
    if (ch.valid && c == '\t') out += ' ';
    else if (!ch.valid || c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) out += '?';
    else out.append(s, i, ch.length);
    i += ch.length;
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

std::string Label(const char* label) {
  std::string s = label;
  s.resize(kLabelWidth, ' ');
  return s;
}

const char* Icon(BoxStyle style) {
  switch (style) {
    case BoxStyle::kMainWindowStop:
      return "(X) ";
    case BoxStyle::kAppWarning:
      return "(!) ";
    case BoxStyle::kPlain:
      break;
  }
  return "";
}

size_t Size(int n) { return static_cast<size_t>(n); }

void AddPanel(const WindowState& panel, int width, std::vector<std::string>& head) {
  const auto control = [&panel](int id) {
    auto it = panel.controls.find(id);
    return it == panel.controls.end() ? std::string() : it->second;
  };
  const int bar = std::clamp(width - kLabelWidth - 2, 10, 50);
  const int filled = panel.progress * bar / 100;
  head.push_back("== " + panel.caption + " ==");
  head.push_back(Label("Report Name:") + control(kIdReportName));
  head.push_back(Label("Status:") + control(kIdStatus));
  head.push_back(Label("Percent Complete:") + "[" + std::string(Size(filled), '#') +
                 std::string(Size(bar - filled), '-') + "]");
  head.push_back(std::string(Size(kLabelWidth), ' ') + "0%" + std::string(Size(bar - 4), ' ') + "100%");
  const int version_at = std::max(0, kLabelWidth + bar + 2 - static_cast<int>(sizeof kVersion - 1));
  head.push_back(std::string(Size(version_at), ' ') + kVersion);
}

void AddBox(const BoxView& box, std::vector<std::string>& head) {
  head.emplace_back();
  head.push_back("+-- " + std::string(Icon(box.style)) + box.caption);
  for (const std::string& line : SplitLines(NormalizeLineBreaks(box.text))) head.push_back("| " + line);
  if (box.asks) head.push_back("| > " + box.answer + "_");
  head.push_back(box.dialog ? "+-- Enter: OK" : "+-- Enter: OK   Esc: Cancel");
}

}  // namespace

void AppendOutput(const std::string& text, std::deque<std::string>& output) {
  std::vector<std::string> lines = SplitLines(text);
  if (output.empty()) output.emplace_back();
  output.back() += lines.front();
  output.insert(output.end(), lines.begin() + 1, lines.end());
  while (output.size() > kMaxOutputLines) output.pop_front();
}

std::vector<std::string> LayOutFrame(const std::optional<WindowState>& panel,
                                     const std::vector<BoxView>& boxes,
                                     const std::deque<std::string>& output, int cols, int rows) {
  const int width = std::max(cols - 1, 1);
  std::vector<std::string> head;
  if (panel) AddPanel(*panel, width, head);
  for (const BoxView& box : boxes) AddBox(box, head);

  const size_t room = Size(std::max(rows - 1, 1));
  std::vector<std::string> frame;
  if (head.size() >= room) {
    frame.assign(head.end() - static_cast<std::ptrdiff_t>(room), head.end());
  } else {
    frame = std::move(head);
    // A text that ended with a line break leaves an empty open line.
    size_t lines = output.size();
    if (lines > 0 && output.back().empty()) --lines;
    const size_t space = room - frame.size();  // at least 1
    if (lines > 0 && space >= 2) {
      frame.emplace_back();  // keeps the output apart from the panel
      const size_t fit = std::min(lines, space - 1);
      const auto last = output.begin() + static_cast<std::ptrdiff_t>(lines);
      frame.insert(frame.end(), last - static_cast<std::ptrdiff_t>(fit), last);
    }
  }
  for (std::string& line : frame) line = Cut(line, width);
  return frame;
}

std::string FrameUpdate(const std::vector<std::string>& drawn, const std::vector<std::string>& lines,
                        bool all) {
  if (!all && lines == drawn) return {};
  std::string out = "\r";
  if (!drawn.empty()) out += "\x1b[" + std::to_string(drawn.size()) + "A";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (all || i >= drawn.size() || drawn[i] != lines[i]) out += "\x1b[2K" + lines[i];
    out += "\r\n";
  }
  if (lines.size() < drawn.size()) out += "\x1b[J";
  return out;
}

}  // namespace tavrin
