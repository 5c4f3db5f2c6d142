#include "platform/ado/access/jet_text.h"

#include "platform/text/utf8.h"

namespace tavrin::ado::access {

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
      } else if (i + 1 < n) {
        put(static_cast<char32_t>(p[i] | (p[i + 1] << 8)));
        i += 2;
      } else {
        break;
      }
    }
  } else {
    for (; i + 1 < n; i += 2) put(static_cast<char32_t>(p[i] | (p[i + 1] << 8)));
  }
  if (high) text::AppendUtf8(text::kReplacementChar, out);
}

}  // namespace tavrin::ado::access
