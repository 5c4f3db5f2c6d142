#ifndef TAVRIN_PLATFORM_TEXT_UTF8_H_
#define TAVRIN_PLATFORM_TEXT_UTF8_H_

// UTF-8 as the whole program reads it. A character is well formed when it is
// the shortest encoding of a Unicode scalar value (no surrogates, nothing past
// U+10FFFF). A byte that does not start a well-formed character counts as a
// character of its own, one byte long and marked invalid, so text in another
// encoding (cp1252 from a Windows INI, say) is still walked, counted and cut
// somewhere sensible instead of stopping a loop.
//
// Stateless and thread-safe.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin::text {

inline constexpr char32_t kReplacementChar = 0xFFFD;

struct Utf8Char {
  char32_t code_point = 0;  // the byte's own value when !valid
  size_t length = 1;        // bytes taken, 1 to 4
  bool valid = true;
};

// The character that starts at s[pos] when it is not ASCII.
Utf8Char DecodeUtf8Sequence(std::string_view s, size_t pos);

// The character that starts at s[pos]; pos must be less than s.size().
// Inline for the ASCII that most text is.
inline Utf8Char DecodeUtf8(std::string_view s, size_t pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) return {b0, 1, true};
  return DecodeUtf8Sequence(s, pos);
}

// Appends the UTF-8 form of `c`; a surrogate or a value past U+10FFFF is
// appended as U+FFFD.
void AppendUtf8(char32_t c, std::string* out);

// The character that byte `b` stands for in Windows-1252, the code page
// of text written on Windows: ASCII and Latin-1 as they are, 0x80-0x9F the
// code page's own letters and signs, U+FFFD for its five unassigned bytes.
char32_t Cp1252Char(unsigned char b);

// Whether every character of `s` is well formed (an empty text is).
bool IsValidUtf8(std::string_view s);

// UTF-8 of Windows-1252 text. Every byte stands for one character: those of
// Cp1252Char, except that the five unassigned bytes become the C1 controls of
// the same number (0x81 is U+0081), as Windows converts them, so that
// Utf8ToCp1252 gives every byte back.
std::string Cp1252ToUtf8(std::string_view s);

// Windows-1252 of UTF-8 text, the inverse of Cp1252ToUtf8; nothing when `s`
// is not valid UTF-8 or holds a character the code page has no byte for.
std::optional<std::string> Utf8ToCp1252(std::string_view s);

// The number of characters of `s`.
size_t Utf8Length(std::string_view s);

// The first `count` characters of `s` (all of it when it has fewer).
std::string_view Utf8Prefix(std::string_view s, size_t count);

// The length of the longest start of `s` that is at most `max_bytes` long
// and does not end inside a well-formed character.
size_t Utf8CutLength(std::string_view s, size_t max_bytes);

// UTF-16 (as the wide ODBC API takes it) of UTF-8 text. A byte that does not
// start a well-formed character stands for its Windows-1252 character
// (Cp1252Char), so single-byte text from a Windows INI keeps its letters.
std::u16string Utf8ToUtf16(std::string_view s);

// UTF-8 of UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);

}  // namespace tavrin::text

#endif  // TAVRIN_PLATFORM_TEXT_UTF8_H_
