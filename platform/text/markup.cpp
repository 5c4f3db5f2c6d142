#include "platform/text/markup.h"

#include <cstdio>

#include "platform/text/utf8.h"

namespace tavrin::text {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD

// XML 1.0's Char production, for the well-formed characters the decoder
// gives (no surrogates, nothing past U+10FFFF).
bool XmlAllows(char32_t c) {
  if (c < 0x20) return c == '\t' || c == '\n' || c == '\r';
  return c != 0xFFFE && c != 0xFFFF;
}

// HTML's text: no controls but its whitespace, no noncharacters.
bool HtmlAllows(char32_t c) {
  if (c < 0x20) return c == '\t' || c == '\n' || c == '\f' || c == '\r';
  if (c >= 0x7F && c <= 0x9F) return false;
  return !(c >= 0xFDD0 && c <= 0xFDEF) && (c & 0xFFFE) != 0xFFFE;
}

}  // namespace

std::string EscapeMarkup(std::string_view s, MarkupEscape what) {
  const bool html = what == MarkupEscape::kHtmlText;
  std::string out;
  out.reserve(s.size());
  size_t copied = 0;  // the bytes before this are in `out`
  for (size_t at = 0; at < s.size();) {
    const auto b = static_cast<unsigned char>(s[at]);
    std::string_view instead;
    size_t length = 1;
    if (b >= 0x20 && b < 0x7F) {
      // Printable ASCII, most of any text: only the markup characters change.
      switch (b) {
        case '&': instead = "&amp;"; break;
        case '<': instead = "&lt;"; break;
        case '>': instead = "&gt;"; break;
        case '"':
          if (html) instead = "&quot;";
          break;
        default: break;
      }
    } else {
      const Utf8Char c = DecodeUtf8(s, at);
      length = c.length;
      if (!c.valid || !(html ? HtmlAllows(c.code_point) : XmlAllows(c.code_point))) instead = kReplacementUtf8;
    }
    if (!instead.empty()) {
      out.append(s.substr(copied, at - copied));
      out += instead;
      copied = at + length;
    }
    at += length;
  }
  out.append(s.substr(copied));
  return out;
}

}  // namespace tavrin::text

namespace tavrin::text {

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  out.reserve(s.size() + 2);
  for (size_t at = 0; at < s.size();) {
    const auto b = static_cast<unsigned char>(s[at]);
    if (b >= 0x80) {
      const Utf8Char c = DecodeUtf8(s, at);
      if (c.valid) {
        out.append(s.substr(at, c.length));
      } else {
        out += kReplacementUtf8;
      }
      at += c.length;
      continue;
    }
    ++at;
    switch (b) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
          out += escaped;
        } else {
          out += static_cast<char>(b);
        }
    }
  }
  return out + "\"";
}

}  // namespace tavrin::text
