#ifndef TAVRIN_PLATFORM_WINDOW_CONSOLE_LAYOUT_H_
#define TAVRIN_PLATFORM_WINDOW_CONSOLE_LAYOUT_H_

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/window/modal_loop.h"
#include "platform/window/window.h"

namespace tavrin {

// The newest lines of standard output that the console keeps.
inline constexpr size_t kMaxOutputLines = 500;

// One open box, question or dialog below the panel, as the console shows it.
struct BoxView {
  std::string caption;
  std::string text;  // line breaks in any convention
  BoxStyle style = BoxStyle::kPlain;
  bool dialog = false;  // a dialog (the self-closing message): Enter only
  bool asks = false;    // a question: shows the line typed so far
  std::string answer;
};

// Appends `text` to the output lines: its first line continues the last
// line of `output` (left open by a text without a final line break), and
// only the newest kMaxOutputLines are kept.
void AppendOutput(const std::string& text, std::deque<std::string>& output);

// The lines of the console's frame on a terminal of `cols` by `rows`: the
// main panel (when `panel` is set), then each of `boxes` in the order they
// were opened, then as many of the newest `output` lines as fit. The frame
// is at most rows - 1 lines tall, so the cursor below it is still on the
// screen: output gives way first, then the top of the panel. Every line is
// cut to cols - 1 columns (the last column wraps on some terminals) without
// splitting a UTF-8 character; tabs become spaces, and control characters
// and bytes that are not UTF-8 become '?', so no text can move the cursor.
//
// Pure; thread-safe.
std::vector<std::string> LayOutFrame(const std::optional<WindowState>& panel,
                                     const std::vector<BoxView>& boxes,
                                     const std::deque<std::string>& output, int cols, int rows);

// The bytes that turn the frame `drawn`, on screen with the cursor at the
// start of the line below it, into `lines`, leaving the cursor below those:
// back up to the frame's first line, rewrite the lines that differ (every
// line when `all`, as after a change of width) and clear what is left of a
// taller frame. Empty when nothing changes.
//
// Pure; thread-safe.
std::string FrameUpdate(const std::vector<std::string>& drawn, const std::vector<std::string>& lines,
                        bool all);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_CONSOLE_LAYOUT_H_
