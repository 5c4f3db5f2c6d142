#include "output/field_values.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <optional>

namespace tavrin {
namespace {

using TextMember = std::string tagORG_INFO::*;
using DateMember = COleDateTime tagORG_INFO::*;

struct NamedField {
  std::string_view name;
  TextMember text;  // null for the two dates
  DateMember date;
};

// The names users write into "ReportField%d", in lookup order. "pin dode" is
// the historical spelling that existing INI files hold; "pin code" is the
// corrected one and names the same field.
constexpr std::array<NamedField, 24> kFields = {{
    {"status", &tagORG_INFO::strStatus, nullptr},
    {"event notes", &tagORG_INFO::strEventNotes, nullptr},
    {"id code", &tagORG_INFO::strIdCode, nullptr},
    {"pin dode", &tagORG_INFO::strPinCode, nullptr},
    {"pin code", &tagORG_INFO::strPinCode, nullptr},
    {"organization name", &tagORG_INFO::strOrganizationName, nullptr},
    {"permanent notes", &tagORG_INFO::strPermanentNotes, nullptr},
    {"town\\city", &tagORG_INFO::strTownCity, nullptr},
    {"county", &tagORG_INFO::strCounty, nullptr},
    {"category", &tagORG_INFO::strCategory, nullptr},
    {"web address", &tagORG_INFO::strWebAddress, nullptr},
    {"contact name", &tagORG_INFO::strContactName, nullptr},
    {"street address 1", &tagORG_INFO::strStreetAddress1, nullptr},
    {"street address 2", &tagORG_INFO::strStreetAddress2, nullptr},
    {"zip code", &tagORG_INFO::strZipCode, nullptr},
    {"city", &tagORG_INFO::strCity, nullptr},
    {"state", &tagORG_INFO::strState, nullptr},
    {"daytime phone", &tagORG_INFO::strDaytimePhone, nullptr},
    {"evening phone", &tagORG_INFO::strEveningPhone, nullptr},
    {"other phone", &tagORG_INFO::strOtherPhone, nullptr},
    {"fax number", &tagORG_INFO::strFaxNumber, nullptr},
    {"e-mail address", &tagORG_INFO::strEmailAddress, nullptr},
    {"event kill date", nullptr, &tagORG_INFO::dtEventKillDate},
    {"event update time", nullptr, &tagORG_INFO::dtEventUpdateTime},
}};

constexpr std::string_view kNotFound = "VALUE NOT FOUND";
constexpr std::string_view kPad(
    "                                                  "
    "                                                    ");  // 102 blanks
static_assert(kPad.size() == 102);

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length in bytes of the UTF-8 character at `pos`. A byte that does not
// start a well-formed sequence counts as a character of its own, so text in
// another encoding is still cut somewhere sensible.
size_t CharLength(std::string_view s, size_t pos) {
  const auto lead = static_cast<unsigned char>(s[pos]);
  size_t len = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
  if (pos + len > s.size()) return 1;
  for (size_t i = 1; i < len; ++i) {
    if (!IsContinuation(static_cast<unsigned char>(s[pos + i]))) return 1;
  }
  return len;
}

// The first `count` characters of `s` (all of it when shorter).
std::string_view FirstChars(std::string_view s, size_t count) {
  size_t pos = 0;
  for (size_t n = 0; n < count && pos < s.size(); ++n) pos += CharLength(s, pos);
  return s.substr(0, pos);
}

// The code point of the character at `pos` (`len` bytes long); a lone byte
// maps outside the Unicode range so it only ever equals itself.
char32_t CodePoint(std::string_view s, size_t pos, size_t len) {
  const auto b = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[pos + i])); };
  switch (len) {
    case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    case 4: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    default: return b(0) < 0x80 ? b(0) : 0x110000 + b(0);
  }
}

locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return static_cast<char32_t>(AsciiLower(static_cast<char>(c)));
  if (c > 0x10FFFF || Utf8Locale() == static_cast<locale_t>(0)) return c;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), Utf8Locale()));
}

// Equality ignoring letter case, character by character (simple Unicode case
// folding, so "É" equals "é").
bool EqualsNoCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const size_t la = CharLength(a, i), lb = CharLength(b, j);
    if (FoldCase(CodePoint(a, i, la)) != FoldCase(CodePoint(b, j, lb))) return false;
    i += la;
    j += lb;
  }
  return i == a.size() && j == b.size();
}

std::string FormatDate(const COleDateTime& date, const char* format) {
  if (date.status != COleDateTime::valid) return "";
  const std::optional<std::tm> fields = OleDateToTm(date.value);
  if (!fields) return "";
  // The C locale keeps the digits and separators independent of the
  // process's locale settings.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char buffer[64];
  const size_t n = strftime_l(buffer, sizeof buffer, format, &*fields, c_locale);
  return std::string(buffer, n);
}

const char* KillDateFormat(int style) {
  switch (style) {
    case kYearDayMonth: return "%Y/%d/%m";
    case kIsoDateTime: return "%Y-%m-%d %H:%M:%S";
    default: return "%m/%d/%Y";
  }
}

const char* UpdateTimeFormat(int style) {
  return style == kIsoDateTime ? "%Y-%m-%d %H:%M:%S" : "%Y/%d/%m %H:%M";
}

}  // namespace

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

std::string_view TrimWhiteSpace(std::string_view text) {
  constexpr std::string_view kWhite = " \t\n\v\f\r";
  const size_t first = text.find_first_not_of(kWhite);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhite) - first + 1);
}

std::string GetFieldValue(const FieldInfo& field, const tagORG_INFO& org, int date_style) {
  std::string_view name = field.strFieldName;
  if (!name.empty() && name.front() == '[') {
    // Drop the "[" and whatever character ends the name (usually "]").
    if (name.size() < 2) return std::string(kNotFound);
    size_t last = 1;
    for (size_t pos = 1; pos < name.size(); pos += CharLength(name, pos)) last = pos;
    name = name.substr(1, last - 1);
  }
  for (const NamedField& f : kFields) {
    if (!EqualsAsciiNoCase(name, f.name)) continue;
    if (f.text != nullptr) return org.*f.text;
    const bool kill_date = f.date == &tagORG_INFO::dtEventKillDate;
    return FormatDate(org.*f.date, kill_date ? KillDateFormat(date_style) : UpdateTimeFormat(date_style));
  }
  return std::string(kNotFound);
}

std::string FormatPrintLine(const std::vector<FieldInfo>& fields, int date_style,
                            const tagORG_INFO& org, const tagORG_INFO& previous) {
  std::string line;
  for (const FieldInfo& field : fields) {
    if (field.nLength <= 1) continue;
    const auto width = static_cast<size_t>(field.nLength - 1);
    const std::string value = GetFieldValue(field, org, date_style);
    const std::string_view text = TrimWhiteSpace(value);
    bool blank = false;
    if (field.bSort && !field.bRepeat) {
      const std::string previous_value = GetFieldValue(field, previous, date_style);
      blank = EqualsNoCase(text, TrimWhiteSpace(previous_value));
    }
    if (blank) {
      line.append(kPad.substr(0, std::min(width, kPad.size())));
      continue;
    }
    const std::string_view cut = FirstChars(text, width);
    line.append(cut);
    if (cut.size() == text.size()) {
      // The whole text fits: pad with blanks up to the width, at most 102.
      size_t chars = 0;
      for (size_t pos = 0; pos < text.size(); pos += CharLength(text, pos)) ++chars;
      line.append(kPad.substr(0, std::min(width - chars, kPad.size())));
    }
  }
  return line;
}

}  // namespace tavrin
