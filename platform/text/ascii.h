#ifndef TAVRIN_PLATFORM_TEXT_ASCII_H_
#define TAVRIN_PLATFORM_TEXT_ASCII_H_

// Letter case and trimming by the ASCII rules that names in INI files,
// connection strings, SQL and field lists follow: only A-Z and a-z change
// case; every other byte, UTF-8 included, is compared as it is. Independent
// of the process's locale. Stateless and thread-safe.

#include <string>
#include <string_view>

namespace tavrin::text {

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// `s` with A-Z turned into a-z.
std::string AsciiLowered(std::string_view s);

// True when `a` and `b` are equal with ASCII letters compared without case.
// Inline: field and column names are matched with it for every cell.
inline bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

// True when `s` starts with `prefix`, ASCII letters compared without case.
inline bool StartsWithIgnoreAsciiCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreAsciiCase(s.substr(0, prefix.size()), prefix);
}

// The blanks of the C library's isspace in the C locale.
inline constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// `s` without the characters of `set` at its ends.
std::string_view Trim(std::string_view s, std::string_view set = kWhiteSpace);

}  // namespace tavrin::text

#endif  // TAVRIN_PLATFORM_TEXT_ASCII_H_
