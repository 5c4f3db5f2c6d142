#include "platform/profile/profile_text.h"

#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

// Blanks around names and values. A line break is not one: in a name or a
// value it is refused, never trimmed away.
constexpr std::string_view kBlanks = " \t\r\v\f";

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s) { return TrimProfileBlanks(s); }

bool NamesMatch(std::string_view a, std::string_view b) {
  return text::EqualsIgnoreAsciiCase(Trim(a), Trim(b));
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// One line of the file: its text is [begin, end), its line end [end, next).
struct Line {
  size_t begin = 0;
  size_t end = 0;
  size_t next = 0;
};

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section or key name, blanks removed
  std::string_view value;  // key lines: the value, blanks removed, quotes kept
};

ParsedLine ParseLine(std::string_view text) {
  ParsedLine out;
  std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') return out;
  if (t.front() == '[') {
    size_t close = t.rfind(']');
    if (close == std::string_view::npos) return out;
    out.kind = LineKind::kSection;
    out.name = Trim(t.substr(1, close - 1));
    return out;
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return out;
  out.kind = LineKind::kKey;
  out.name = Trim(t.substr(0, eq));
  out.value = Trim(t.substr(eq + 1));
  return out;
}

// Where a key of a section stands in the file text.
struct Location {
  std::optional<Line> section;   // the header of the first section of that name
  std::optional<Line> key;       // the key's line in that section
  std::string_view key_name;     // as spelled in the file
  std::string_view key_value;    // raw, quotes kept
  std::optional<Line> last_key;  // the last key line of the section
  std::optional<Line> last_line; // the last line scanned: the file's last
                                 // when the section is missing
};

Location Locate(std::string_view text, std::string_view section, std::string_view key) {
  Location loc;
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      line.end = line.next = text.size();
    } else {
      line.next = nl + 1;
      line.end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
    }
    pos = line.next;
    loc.last_line = line;

    ParsedLine parsed = ParseLine(text.substr(line.begin, line.end - line.begin));
    if (parsed.kind == LineKind::kSection) {
      if (in_section) break;
      if (!loc.section && NamesMatch(parsed.name, section)) {
        loc.section = line;
        in_section = true;
      }
    } else if (parsed.kind == LineKind::kKey && in_section) {
      loc.last_key = line;
      if (NamesMatch(parsed.name, key)) {
        loc.key = line;
        loc.key_name = parsed.name;
        loc.key_value = parsed.value;
        break;
      }
    }
  }
  return loc;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

std::string_view TrimProfileBlanks(std::string_view s) { return text::Trim(s, kBlanks); }

std::optional<std::string> ReadProfileText(std::string_view text, std::string_view section,
                                           std::string_view key) {
  Location loc = Locate(text, section, key);
  if (!loc.key) return std::nullopt;
  return std::string(Unquote(loc.key_value));
}

std::string WriteProfileText(const std::string& text, std::string_view section, std::string_view key,
                             std::string_view value) {
  Location loc = Locate(text, section, key);
  size_t first_nl = text.find('\n');
  const std::string_view eol =
      (first_nl != std::string::npos && first_nl > 0 && text[first_nl - 1] == '\r') ? "\r\n"
                                                                                     : "\n";
  std::string out;
  out.reserve(text.size() + section.size() + key.size() + value.size() + 8);
  if (loc.key) {
    if (Unquote(loc.key_value) == value) return text;
    out.append(text, 0, loc.key->begin);
    out.append(loc.key_name).append("=").append(value);
    out.append(text, loc.key->end, std::string::npos);
    return out;
  }
  if (loc.section) {
    const Line& anchor = loc.last_key ? *loc.last_key : *loc.section;
    out.append(text, 0, anchor.next);
    if (anchor.next == anchor.end) out.append(eol);  // the file's last line had no end
    out.append(key).append("=").append(value).append(eol);
    out.append(text, anchor.next, std::string::npos);
    return out;
  }
  out = text;
  if (loc.last_line) {
    if (loc.last_line->next == loc.last_line->end) out.append(eol);
    if (!Trim(std::string_view(text).substr(loc.last_line->begin,
                                            loc.last_line->end - loc.last_line->begin))
             .empty()) {
      out.append(eol);
    }
  }
  out.append("[").append(section).append("]").append(eol);
  out.append(key).append("=").append(value).append(eol);
  return out;
}

IniEncoding DetectProfileEncoding(std::string_view bytes) {
  if (bytes.starts_with(kByteOrderMark)) return IniEncoding::kUtf8WithBom;
  return text::IsValidUtf8(bytes) ? IniEncoding::kUtf8 : IniEncoding::kWindows1252;
}

std::optional<std::string> ReadEncodedProfileText(std::string_view bytes, IniEncoding encoding,
                                                  std::string_view section, std::string_view key) {
  switch (encoding) {
    case IniEncoding::kWindows1252: {
      // The names are looked for in the file's own bytes; one the code page
      // cannot hold is in no Windows-1252 file.
      const auto file_section = text::Utf8ToCp1252(section);
      const auto file_key = text::Utf8ToCp1252(key);
      if (!file_section || !file_key) return std::nullopt;
      auto value = ReadProfileText(bytes, *file_section, *file_key);
      if (!value) return std::nullopt;
      return text::Cp1252ToUtf8(*value);
    }
    case IniEncoding::kUtf8WithBom:
      bytes.remove_prefix(kByteOrderMark.size());
      return ReadProfileText(bytes, section, key);
    case IniEncoding::kMissing:
    case IniEncoding::kUtf8:
      break;
  }
  return ReadProfileText(bytes, section, key);
}

std::optional<std::string> WriteEncodedProfileText(const std::string& bytes, IniEncoding encoding,
                                                   std::string_view section, std::string_view key,
                                                   std::string_view value) {
  switch (encoding) {
    case IniEncoding::kWindows1252: {
      const auto file_section = text::Utf8ToCp1252(section);
      const auto file_key = text::Utf8ToCp1252(key);
      const auto file_value = text::Utf8ToCp1252(value);
      if (!file_section || !file_key || !file_value) return std::nullopt;
      return WriteProfileText(bytes, *file_section, *file_key, *file_value);
    }
    case IniEncoding::kUtf8WithBom: {
      // The rest is set as a file of its own, so that the first line's end
      // and the first section are seen past the mark.
      std::string out(kByteOrderMark);
      out += WriteProfileText(bytes.substr(kByteOrderMark.size()), section, key, value);
      return out;
    }
    case IniEncoding::kMissing:
    case IniEncoding::kUtf8:
      break;
  }
  // A byte that is not UTF-8 would have the whole file read as Windows-1252.
  if (!text::IsValidUtf8(section) || !text::IsValidUtf8(key) || !text::IsValidUtf8(value))
    return std::nullopt;
  return WriteProfileText(bytes, section, key, value);
}

bool StorableInProfile(std::string_view section, std::string_view key, std::string_view value) {
  if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value)) {
    return false;
  }
  return !key.empty() && key.find('=') == std::string_view::npos && key.front() != ';' &&
         key.front() != '[';
}

}  // namespace tavrin
