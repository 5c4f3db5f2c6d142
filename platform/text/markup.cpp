#include "platform/text/markup.h"

namespace tavrin::text {

std::string EscapeMarkup(std::string_view s, MarkupEscape what) {
  const std::string_view special = what == MarkupEscape::kQuotes ? "&<>\"" : "&<>";
  std::string out;
  out.reserve(s.size());
  for (size_t at = 0;;) {
    const size_t next = s.find_first_of(special, at);
    out.append(s.substr(at, next - at));
    if (next == std::string_view::npos) return out;
    switch (s[next]) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += "&quot;"; break;
    }
    at = next + 1;
  }
}

}  // namespace tavrin::text
