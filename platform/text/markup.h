#ifndef TAVRIN_PLATFORM_TEXT_MARKUP_H_
#define TAVRIN_PLATFORM_TEXT_MARKUP_H_

// Escaping of text put into HTML or XML markup. Stateless and thread-safe.

#include <string>
#include <string_view>

namespace tavrin::text {

// Which characters EscapeMarkup replaces.
enum class MarkupEscape {
  kText,    // "&", "<" and ">": enough for the text of an element
  kQuotes,  // also '"', so that the text may also stand in a quoted attribute
};

// `s` with "&" as "&amp;", "<" as "&lt;", ">" as "&gt;" and, for kQuotes,
// '"' as "&quot;"; every other byte, UTF-8 included, unchanged.
std::string EscapeMarkup(std::string_view s, MarkupEscape what);

}  // namespace tavrin::text

#endif  // TAVRIN_PLATFORM_TEXT_MARKUP_H_
