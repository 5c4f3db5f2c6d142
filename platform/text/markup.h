#ifndef TAVRIN_PLATFORM_TEXT_MARKUP_H_
#define TAVRIN_PLATFORM_TEXT_MARKUP_H_

// Escaping of text put into HTML or XML markup, or into JSON. Stateless and
// thread-safe.

#include <string>
#include <string_view>

namespace tavrin::text {

// The markup a text goes into, which decides what EscapeMarkup changes.
enum class MarkupEscape {
  // The text of an XML 1.0 element: "&", "<" and ">" become entities; a
  // character XML does not allow (a control other than tab, line feed and
  // carriage return, NUL included; U+FFFE; U+FFFF) becomes U+FFFD.
  kXmlText,
  // Text of an HTML page: also '"', so that the text may stand in a quoted
  // attribute too; a character HTML forbids (a control other than tab, line
  // feed, form feed and carriage return, DEL and the C1 controls included; a
  // noncharacter) becomes U+FFFD.
  kHtmlText,
};

// `s` with "&" as "&amp;", "<" as "&lt;", ">" as "&gt;", for kHtmlText '"'
// as "&quot;", and each character the markup does not allow, and each byte
// that does not start a well-formed UTF-8 character, as U+FFFD; every other
// character unchanged. The result is UTF-8 that the markup takes as text.
std::string EscapeMarkup(std::string_view s, MarkupEscape what);

// `s` as a JSON string, quotation marks included: '"' and '\\' escaped with
// a backslash, the controls below U+0020 as \n, \t, \r or \u00XX, each
// byte that does not start a well-formed UTF-8 character as U+FFFD, every
// other character unchanged; any JSON parser takes the result.
std::string JsonString(std::string_view s);

}  // namespace tavrin::text

#endif  // TAVRIN_PLATFORM_TEXT_MARKUP_H_
