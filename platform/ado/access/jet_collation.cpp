#include "platform/ado/access/jet_collation.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin::ado {
namespace {

// Decodes the character at s[*i] and advances past it.
char32_t Decode(std::string_view s, size_t* i) {
  const text::Utf8Char c = text::DecodeUtf8(s, *i);
  *i += c.length;
  return c.valid ? c.code_point : text::kReplacementChar;
}

// Latin Extended-A pairs: within [first, last] the upper-case letter is at
// even (upper_even) or odd offsets and its lower-case partner follows it.
bool InPairRange(char32_t c, char32_t* upper) {
  const bool even_pairs = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) ||
                          (c >= 0x14A && c <= 0x177);
  const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
  if (even_pairs) *upper = c & ~char32_t{1};
  else if (odd_pairs) *upper = (c & 1) ? c : c - 1;
  return even_pairs || odd_pairs;
}

// The base letter of a lower-case accented Latin letter ('.' in the tables:
// a letter of its own).
char32_t BaseLetter(char32_t c) {
  static const char kLatin1[] = "aaaaaa.ceeeeiiii.nooooo.ouuuuy.y";  // U+00E0..U+00FF
  static const char kExtA[] =
      "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiii..jjkkkllllllllllnnnnnnn..oooooo..rrrrrr"
      "ssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";  // U+0100..U+017F
  char b = '.';
  if (c >= 0xE0 && c <= 0xFF) b = kLatin1[c - 0xE0];
  else if (c >= 0x100 && c <= 0x17F) b = kExtA[c - 0x100];
  return b == '.' ? c : static_cast<char32_t>(b);
}

// Matches one pattern element at p[*k] ("[...]" or a single character)
// against c, advancing *k past the element.
bool MatchElement(const std::u32string& p, size_t* k, char32_t c) {
  if (p[*k] != U'[') return p[(*k)++] == c;
  size_t close = p.find(U']', *k + 1);
  if (close == std::u32string::npos) return p[(*k)++] == c;  // a lone '[' is literal
  size_t q = *k + 1;
  *k = close + 1;
  bool negate = false;
  if (q < close && p[q] == U'!') {
    negate = true;
    ++q;
  }
  bool hit = false;
  for (; q < close; ++q) {
    if (q + 2 < close && p[q + 1] == U'-') {
      hit = hit || (c >= p[q] && c <= p[q + 2]);
      q += 2;
    } else {
      hit = hit || p[q] == c;
    }
  }
  return hit != negate;
}

}  // namespace

// Lower case for the alphabets a Western database holds: Latin-1, Latin
// Extended-A, Greek and Cyrillic. Other characters map to themselves.
char32_t JetLower(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  char32_t upper;
  if (InPairRange(c, &upper)) return upper + 1;
  if (c == 0x130) return 'i';
  if (c == 0x178) return 0xFF;
  if (c == 0x17F) return 's';
  if (c >= 0x391 && c <= 0x3A9) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

char32_t JetUpper(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  char32_t upper;
  if (InPairRange(c, &upper)) return upper;
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c >= 0x3B1 && c <= 0x3C9) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

std::u32string FoldedCodePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(JetLower(Decode(s, &i)));
  return out;
}

std::u32string CodePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(Decode(s, &i));
  return out;
}

std::string ToUtf8(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t c : s) text::AppendUtf8(c, &out);
  return out;
}

// The length of the bytes `a` and `b` begin with alike, eight at a time and
// then one by one.
size_t CommonPrefix(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t k = 0;
  for (uint64_t x, y; k + 8 <= n; k += 8) {
    std::memcpy(&x, a.data() + k, 8);
    std::memcpy(&y, b.data() + k, 8);
    if (x != y) break;
  }
  while (k < n && a[k] == b[k]) ++k;
  return k;
}

int JetCompare(std::string_view a, std::string_view b) {
  // Sorting compares many texts that share a beginning, or are the same.
  // Bytes alike are characters alike, so the comparison starts where the
  // texts part, or rather where a character starts in both: a byte that is
  // not a continuation byte always starts one.
  size_t start = CommonPrefix(a, b);
  if (start == a.size() && start == b.size()) return 0;
  const auto continues = [&start](std::string_view s) {
    return start < s.size() && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80;
  };
  while (start > 0 && (continues(a) || continues(b))) --start;
  // One pass: the first difference of base letters decides; failing that,
  // the first difference of the (case folded) letters themselves.
  int secondary = 0;
  size_t i = start, j = start;
  while (i < a.size() && j < b.size()) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (ca < 0x80 && cb < 0x80) {  // the common case: plain ASCII
      const char x = text::AsciiLower(static_cast<char>(ca)), y = text::AsciiLower(static_cast<char>(cb));
      if (x != y) return x < y ? -1 : 1;
      ++i;
      ++j;
      continue;
    }
    const char32_t x = JetLower(Decode(a, &i)), y = JetLower(Decode(b, &j));
    if (x == y) continue;
    const char32_t px = BaseLetter(x), py = BaseLetter(y);
    if (px != py) return px < py ? -1 : 1;
    if (secondary == 0) secondary = x < y ? -1 : 1;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  return secondary;
}

bool JetLike(std::string_view text, std::string_view pattern) {
  const std::u32string s = FoldedCodePoints(text);
  const std::u32string p = FoldedCodePoints(pattern);
  // Iterative matching with backtracking to the last %.
  size_t si = 0, pi = 0;
  size_t star_p = std::u32string::npos, star_s = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi] == U'%') {
      star_p = ++pi;
      star_s = si;
      continue;
    }
    if (pi < p.size()) {
      size_t k = pi;
      const bool ok = p[pi] == U'_' ? (k = pi + 1, true) : MatchElement(p, &k, s[si]);
      if (ok) {
        pi = k;
        ++si;
        continue;
      }
    }
    if (star_p == std::u32string::npos) return false;
    pi = star_p;
    si = ++star_s;
  }
  while (pi < p.size() && p[pi] == U'%') ++pi;
  return pi == p.size();
}

}  // namespace tavrin::ado
