#ifndef TAVRIN_PLATFORM_ADO_ACCESS_JET_COLLATION_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_JET_COLLATION_H_

// Jet's rules for text in UTF-8: letter case for the alphabets a Western
// database holds (Latin-1, Latin Extended-A, Greek and Cyrillic), the order
// in which text sorts, and LIKE. A byte that is not UTF-8 counts as U+FFFD,
// so junk never stops a comparison. Stateless and thread-safe.

#include <string>
#include <string_view>

namespace tavrin::ado {

// Jet's text order: letters compare without regard to case, and an accented
// letter sorts right after its base letter but is not equal to it (so
// "é" == "É", "e" < "é" < "f"). Returns <0, 0 or >0.
int JetCompare(std::string_view a, std::string_view b);

// Jet's LIKE (ANSI-92 wildcards): % any run of characters, _ one character,
// [abc] and [a-z] one of a set, [!abc] none of a set; [%] and [_] match
// themselves. Case is ignored as in JetCompare.
bool JetLike(std::string_view text, std::string_view pattern);

// The name of the collation that text columns declare.
inline constexpr const char* kJetCollation = "JET";

// The lower and upper case of one character; others map to themselves.
char32_t JetLower(char32_t c);
char32_t JetUpper(char32_t c);

// The characters of `s`, as they are or lower-cased.
std::u32string CodePoints(std::string_view s);
std::u32string FoldedCodePoints(std::string_view s);

// `s` in UTF-8.
std::string ToUtf8(std::u32string_view s);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_JET_COLLATION_H_
