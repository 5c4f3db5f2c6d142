#include "platform/ado/access/jet_text.h"

#include "platform/text/utf8.h"

namespace tavrin::ado::access {

namespace {

// Appends whole the run of UCS-2 code units below 0x80 that starts at p[i]
// (a zero low byte ends it unless `zero_is_text`) and returns where the run
// ends: most of a long text, a memo stored uncompressed above all, is
// ASCII, which a character at a time would append byte by byte.
size_t AppendAsciiUnits(const unsigned char* p, size_t i, size_t n, bool zero_is_text, std::string* out) {
  size_t j = i;
  while (j + 1 < n && p[j] < 0x80 && p[j + 1] == 0 && (zero_is_text || p[j] != 0)) j += 2;
  if (j == i) return i;
  const size_t start = out->size();
  out->resize(start + (j - i) / 2);
  char* to = out->data() + start;
  for (size_t k = i; k < j; k += 2) *to++ = static_cast<char>(p[k]);
  return j;
}

}  // namespace

void AppendJetText(const unsigned char* p, size_t n, std::string* out) {
  char32_t high = 0;  // a pending high surrogate
  auto put = [&](char32_t u) {
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (high) text::AppendUtf8(text::kReplacementChar, out);
      high = u;
      return;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) {
      if (!high) {
        text::AppendUtf8(text::kReplacementChar, out);
        return;
      }
      u = 0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00);
      high = 0;
    } else if (high) {
      text::AppendUtf8(text::kReplacementChar, out);
      high = 0;
    }
    text::AppendUtf8(u, out);
  };
  size_t i = 0;
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    bool compressed = true;
    for (i = 2; i < n;) {
      if (p[i] == 0) {
        compressed = !compressed;
        ++i;
      } else if (compressed && p[i] < 0x80 && !high) {
        // Runs of ASCII, most of a typical text, are copied whole.
        size_t j = i + 1;
        while (j < n && p[j] != 0 && p[j] < 0x80) ++j;
        out->append(reinterpret_cast<const char*>(p + i), j - i);
        i = j;
      } else if (compressed) {
        put(p[i++]);
      } else if (const size_t j = high ? i : AppendAsciiUnits(p, i, n, false, out); j != i) {
        i = j;
      } else if (i + 1 < n) {
        put(static_cast<char32_t>(p[i] | (p[i + 1] << 8)));
        i += 2;
      } else {
        break;
      }
    }
  } else {
    while (i + 1 < n) {
      if (const size_t j = high ? i : AppendAsciiUnits(p, i, n, true, out); j != i) {
        i = j;
        continue;
      }
      put(static_cast<char32_t>(p[i] | (p[i + 1] << 8)));
      i += 2;
    }
  }
  if (high) text::AppendUtf8(text::kReplacementChar, out);
}

}  // namespace tavrin::ado::access
