#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The code page's own characters at 0x80-0x9F, as Windows defines them;
// 0 marks the five unassigned bytes.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

TEST(Cp1252Test, EveryByteBecomesItsCharacterAndComesBack) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = Cp1252ToUtf8(all);
  ASSERT_TRUE(IsValidUtf8(utf8));
  std::vector<char32_t> chars;
  for (size_t pos = 0; pos < utf8.size();) {
    const Utf8Char c = DecodeUtf8(utf8, pos);
    chars.push_back(c.code_point);
    pos += c.length;
  }
  ASSERT_EQ(chars.size(), 256u);
  int special = 0;
  for (int b = 0; b < 256; ++b) {
    char32_t expected = static_cast<char32_t>(b);  // ASCII, Latin-1 and the unassigned bytes
    if (b >= 0x80 && b < 0xA0 && kCp1252High[b - 0x80] != 0) {
      expected = kCp1252High[b - 0x80];
      ++special;
    }
    EXPECT_EQ(chars[static_cast<size_t>(b)], expected) << "byte " << b;
  }
  EXPECT_EQ(special, 27);
  EXPECT_EQ(Utf8ToCp1252(utf8), all);

  EXPECT_EQ(Cp1252ToUtf8("d'\xE9" "coles \x96 \x80"), "d'\xC3\xA9" "coles \xE2\x80\x93 \xE2\x82\xAC");
  EXPECT_EQ(Cp1252ToUtf8("\x81\x8D\x8F\x90\x9D"), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
  EXPECT_EQ(Cp1252ToUtf8(""), "");
}

TEST(Cp1252Test, WhatTheCodePageCannotHoldIsRefused) {
  EXPECT_EQ(Utf8ToCp1252("d'\xC3\xA9" "coles \xE2\x80\x99\xE2\x82\xAC"), "d'\xE9" "coles \x92\x80");
  EXPECT_EQ(Utf8ToCp1252(""), "");
  for (const char* refused : {
           "\xC2\x80",          // U+0080: 0x80 is the euro sign
           "\xC2\x9F",          // U+009F: 0x9F is Y with diaeresis
           "\xC4\x80",          // U+0100, just past Latin-1
           "\xE4\xB8\xAD",      // a CJK character
           "\xF0\x9F\x98\x80",  // an emoji
           "\xEF\xBF\xBD",      // U+FFFD, the stand-in for the unassigned bytes elsewhere
           "caf\xE9",          // not UTF-8 at all
       }) {
    EXPECT_EQ(Utf8ToCp1252(std::string("ok ") + refused), std::nullopt) << refused;
  }
}

TEST(Utf8Test, ValidityOfWholeTexts) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain ASCII\r\n"));
  EXPECT_TRUE(IsValidUtf8("\xEF\xBB\xBF\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsValidUtf8("caf\xE9"));
  EXPECT_FALSE(IsValidUtf8("\xC3\xA9\xE2\x82"));  // cut off at the end
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // a surrogate
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
  EXPECT_EQ(EscapeMarkup(text, MarkupEscape::kHtmlText),
            "&lt;script&gt;a &amp;&amp; &quot;b&quot;&lt;/script&gt; \xC3\xA9'");
  EXPECT_EQ(EscapeMarkup(text, MarkupEscape::kXmlText),
            "&lt;script&gt;a &amp;&amp; \"b\"&lt;/script&gt; \xC3\xA9'");
  EXPECT_EQ(EscapeMarkup("&amp;", MarkupEscape::kXmlText), "&amp;amp;");  // never taken for an entity
  EXPECT_EQ(EscapeMarkup("", MarkupEscape::kHtmlText), "");
}

TEST(MarkupTest, CharactersTheMarkupForbidsBecomeReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  // Every C0 control, DEL, a C1 control, the noncharacters and bytes that
  // are not UTF-8 (a lone continuation byte, a surrogate, an over-long "/").
  std::string controls;
  for (char c = 1; c < 0x20; ++c) controls += c;
  const std::string text = std::string("a\0b", 3) + controls + "\x7F\xC2\x85\xEF\xB7\x90\xEF\xBF\xBE\xEF\xBF\xBF" +
                           "\xF4\x8F\xBF\xBF\x80\xED\xA0\x80\xC0\xAF z";
  std::string xml_controls, html_controls;
  for (char c = 1; c < 0x20; ++c) {
    xml_controls += c == '\t' || c == '\n' || c == '\r' ? std::string(1, c) : r;
    html_controls += c == '\t' || c == '\n' || c == '\f' || c == '\r' ? std::string(1, c) : r;
  }
  // XML allows DEL, the C1 controls and U+FDD0, and of the supplementary
  // planes' noncharacters U+10FFFF; HTML none of them.
  EXPECT_EQ(EscapeMarkup(text, MarkupEscape::kXmlText),
            "a" + r + "b" + xml_controls + "\x7F\xC2\x85\xEF\xB7\x90" + r + r + "\xF4\x8F\xBF\xBF" + r +
                r + r + r + r + r + " z");
  EXPECT_EQ(EscapeMarkup(text, MarkupEscape::kHtmlText),
            "a" + r + "b" + html_controls + r + r + r + r + r + r + r + r + r + r + r + r + " z");
  // Well-formed text of every length of encoding stays as it is.
  const std::string letters = "\xC3\xA9 \xE2\x98\x83 \xF0\x9F\x8C\xA8 \xEF\xBF\xBD";
  EXPECT_EQ(EscapeMarkup(letters, MarkupEscape::kXmlText), letters);
  EXPECT_EQ(EscapeMarkup(letters, MarkupEscape::kHtmlText), letters);
  EXPECT_EQ(EscapeMarkup("\x01<\x02>", MarkupEscape::kXmlText), r + "&lt;" + r + "&gt;");
}

TEST(JsonStringTest, QuotesEscapesControlsAndReplacesBytesThatAreNotUtf8) {
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("Web \"A\\B\"\n\t\r\x01\x1f \xC3\xA9"), "\"Web \\\"A\\\\B\\\"\\n\\t\\r\\u0001\\u001f \xC3\xA9\"");
  EXPECT_EQ(JsonString("a\xE9z\xED\xA0\x80"), "\"a\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

}  // namespace
}  // namespace tavrin::text
