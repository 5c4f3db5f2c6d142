#include <gtest/gtest.h>

#include <string>

#include "platform/text/ascii.h"
#include "platform/text/markup.h"
#include "platform/text/utf8.h"

namespace tavrin::text {
namespace {

// Each character of `s` as "U+XXXX" or "?XX" for a byte that is not UTF-8.
std::string Walk(std::string_view s) {
  std::string out;
  for (size_t pos = 0; pos < s.size();) {
    const Utf8Char c = DecodeUtf8(s, pos);
    char buf[16];
    std::snprintf(buf, sizeof buf, c.valid ? "U+%04X " : "?%02X ", static_cast<unsigned>(c.code_point));
    out += buf;
    pos += c.length;
  }
  return out;
}

TEST(Utf8Test, WellFormedCharactersOnly) {
  EXPECT_EQ(Walk("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "U+0061 U+00E9 U+20AC U+1F600 ");
  // Overlong forms, surrogates and values past U+10FFFF are bytes of their own.
  EXPECT_EQ(Walk("\xC0\xAF"), "?C0 ?AF ");
  EXPECT_EQ(Walk("\xE0\x80\xAF"), "?E0 ?80 ?AF ");
  EXPECT_EQ(Walk("\xED\xA0\x80"), "?ED ?A0 ?80 ");
  EXPECT_EQ(Walk("\xF4\x90\x80\x80"), "?F4 ?90 ?80 ?80 ");
  EXPECT_EQ(Walk("\xF8\x88\x80\x80\x80"), "?F8 ?88 ?80 ?80 ?80 ");
  // A cut-off character, and cp1252 text.
  EXPECT_EQ(Walk("\xE2\x82"), "?E2 ?82 ");
  EXPECT_EQ(Walk("caf\xE9!"), "U+0063 U+0061 U+0066 ?E9 U+0021 ");
}

TEST(Utf8Test, AppendRefusesWhatIsNotAScalarValue) {
  std::string out;
  for (char32_t c : {U'A', char32_t{0xE9}, char32_t{0x20AC}, char32_t{0x1F600}, char32_t{0xD800},
                     char32_t{0x110000}})
    AppendUtf8(c, &out);
  EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8Test, CountingAndCuttingNeverSplitACharacter) {
  const std::string s = "\xC3\xA9t\xC3\xA9\xE2\x82\xAC";  // "été€"
  EXPECT_EQ(Utf8Length(s), 4u);
  EXPECT_EQ(Utf8Length("caf\xE9"), 4u);
  EXPECT_EQ(Utf8Prefix(s, 2), "\xC3\xA9t");
  EXPECT_EQ(Utf8Prefix(s, 9), s);
  EXPECT_EQ(Utf8CutLength(s, 8), 8u);
  EXPECT_EQ(Utf8CutLength(s, 7), 5u);  // the euro sign would be split
  EXPECT_EQ(Utf8CutLength(s, 6), 5u);
  EXPECT_EQ(Utf8CutLength(s, 1), 0u);
  EXPECT_EQ(Utf8CutLength("abc\xE9\xE9\xE9", 4), 4u);  // single-byte text: cut at the limit
}

TEST(Utf8Test, Utf16BothWaysWithPairsAndStrayBytes) {
  const std::string s = "a\xC3\xA9\xE2\x98\x83\xF0\x9D\x84\x9E";  // "aé☃" and U+1D11E
  const std::u16string w = Utf8ToUtf16(s);
  EXPECT_EQ(w, (std::u16string{u'a', 0xE9, 0x2603, 0xD834, 0xDD1E}));
  EXPECT_EQ(Utf16ToUtf8(w), s);
  // A cp1252 byte reads as its letter; a lone surrogate as U+FFFD.
  EXPECT_EQ(Utf8ToUtf16("caf\xE9 \x80"), u"caf\u00e9 \u20ac");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', 0xD834, u'y', 0xDD1E}), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

TEST(Utf8Test, Cp1252BytesAsCharacters) {
  EXPECT_EQ(Cp1252Char('A'), U'A');
  EXPECT_EQ(Cp1252Char(0xE9), char32_t{0xE9});     // Latin-1 as it is
  EXPECT_EQ(Cp1252Char(0x80), char32_t{0x20AC});   // the euro sign
  EXPECT_EQ(Cp1252Char(0x9F), char32_t{0x0178});
  EXPECT_EQ(Cp1252Char(0x81), kReplacementChar);   // unassigned
}

TEST(AsciiTest, CaseAndTrim) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase("Report Schedule", "REPORT schedule"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC3\x89", "\xC3\xA9"));  // only ASCII letters fold
  EXPECT_FALSE(EqualsIgnoreAsciiCase("abc", "abcd"));
  EXPECT_TRUE(StartsWithIgnoreAsciiCase("Microsoft.ACE.OLEDB.12.0", "microsoft.ace.oledb."));
  EXPECT_FALSE(StartsWithIgnoreAsciiCase("ACE", "ACE."));
  EXPECT_EQ(AsciiLowered("Data SOURCE"), "data source");
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(Trim("  \n "), "");
  EXPECT_EQ(Trim("\tx\t", " "), "\tx\t");
}

TEST(MarkupTest, EntitiesForMarkupCharactersOnly) {
  const std::string text = "<script>a && \"b\"</script> \xC3\xA9'";
  EXPECT_EQ(EscapeMarkup(text, MarkupEscape::kQuotes),
            "&lt;script&gt;a &amp;&amp; &quot;b&quot;&lt;/script&gt; \xC3\xA9'");
  EXPECT_EQ(EscapeMarkup(text, MarkupEscape::kText),
            "&lt;script&gt;a &amp;&amp; \"b\"&lt;/script&gt; \xC3\xA9'");
  EXPECT_EQ(EscapeMarkup("&amp;", MarkupEscape::kText), "&amp;amp;");  // never taken for an entity
  EXPECT_EQ(EscapeMarkup("", MarkupEscape::kQuotes), "");
}

}  // namespace
}  // namespace tavrin::text
