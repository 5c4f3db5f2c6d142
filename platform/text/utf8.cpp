#include "platform/text/utf8.h"

namespace tavrin::text {

Utf8Char DecodeUtf8Sequence(std::string_view s, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]); };
  const unsigned char b0 = byte(0);
  const Utf8Char invalid{b0, 1, false};
  size_t length;
  char32_t c;
  // The second byte's range rules out overlong forms, surrogates and values
  // past U+10FFFF (Unicode's table of well-formed byte sequences).
  unsigned char low = 0x80, high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    c = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    c = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return invalid;
  }
  if (pos + length > s.size()) return invalid;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char b = byte(i);
    if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return invalid;
    c = (c << 6) | (b & 0x3F);
  }
  return {c, length, true};
}

void AppendUtf8(char32_t c, std::string* out) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacementChar;
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

char32_t Cp1252Char(unsigned char b) {
  static constexpr char32_t kHigh[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,  // 88-8F
      0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,  // 98-9F
  };
  return b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : b;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t pos = 0; pos < s.size();) {
    const Utf8Char c = DecodeUtf8(s, pos);
    if (!c.valid) return false;
    pos += c.length;
  }
  return true;
}

namespace {

// The character of a Windows-1252 byte in the conversions of whole texts:
// an unassigned byte keeps its own number so that it survives a round trip.
char32_t Cp1252Letter(unsigned char b) {
  const char32_t c = Cp1252Char(b);
  return c == kReplacementChar ? b : c;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  for (const char byte : s) AppendUtf8(Cp1252Letter(static_cast<unsigned char>(byte)), &out);
  return out;
}

std::optional<std::string> Utf8ToCp1252(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t pos = 0; pos < s.size();) {
    const Utf8Char c = DecodeUtf8(s, pos);
    if (!c.valid) return std::nullopt;
    pos += c.length;
    // Latin-1 is its own byte outside 0x80-0x9F; there the table is searched.
    if (c.code_point < 0x80 || (c.code_point >= 0xA0 && c.code_point <= 0xFF)) {
      out.push_back(static_cast<char>(c.code_point));
      continue;
    }
    unsigned b = 0x80;
    while (b < 0xA0 && Cp1252Letter(static_cast<unsigned char>(b)) != c.code_point) ++b;
    if (b == 0xA0) return std::nullopt;
    out.push_back(static_cast<char>(b));
  }
  return out;
}

size_t Utf8Length(std::string_view s) {
  size_t count = 0;
  for (size_t pos = 0; pos < s.size(); pos += DecodeUtf8(s, pos).length) ++count;
  return count;
}

std::string_view Utf8Prefix(std::string_view s, size_t count) {
  size_t pos = 0;
  for (size_t n = 0; n < count && pos < s.size(); ++n) pos += DecodeUtf8(s, pos).length;
  return s.substr(0, pos);
}

size_t Utf8CutLength(std::string_view s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s.size();
  // Only the last three bytes before the limit can start a character that
  // crosses it.
  const size_t from = max_bytes >= 3 ? max_bytes - 3 : 0;
  for (size_t pos = from; pos < max_bytes; ++pos) {
    const Utf8Char c = DecodeUtf8(s, pos);
    if (c.valid && c.length > 1 && pos + c.length > max_bytes) return pos;
  }
  return max_bytes;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  // Sized for the worst case (one unit per byte) and cut after: batches of
  // the SQL Server publication go through here one per record.
  std::u16string out(s.size(), u'\0');
  size_t n = 0;
  for (size_t pos = 0; pos < s.size();) {
    if (static_cast<unsigned char>(s[pos]) < 0x80) {
      out[n++] = static_cast<char16_t>(s[pos++]);
      continue;
    }
    const Utf8Char c = DecodeUtf8Sequence(s, pos);
    pos += c.length;
    const char32_t cp = c.valid ? c.code_point : Cp1252Char(static_cast<unsigned char>(c.code_point));
    if (cp < 0x10000) {
      out[n++] = static_cast<char16_t>(cp);
    } else {
      const char32_t v = cp - 0x10000;
      out[n++] = static_cast<char16_t>(0xD800 + (v >> 10));
      out[n++] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    }
  }
  out.resize(n);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(c, &out);  // a lone surrogate becomes U+FFFD there
  }
  return out;
}

}  // namespace tavrin::text
