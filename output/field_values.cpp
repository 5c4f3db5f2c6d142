#include "output/field_values.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <optional>

#include "platform/text/ascii.h"
#include "platform/text/distance.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

constexpr std::string_view kNotFound = "VALUE NOT FOUND";
constexpr std::string_view kPad(
    "                                                  "
    "                                                    ");  // 102 blanks
static_assert(kPad.size() == 102);

// The code point of a character; a byte that is not UTF-8 maps outside the
// Unicode range, so it only ever equals itself.
char32_t CodePoint(const text::Utf8Char& c) { return c.valid ? c.code_point : 0x110000 + c.code_point; }

locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return static_cast<char32_t>(text::AsciiLower(static_cast<char>(c)));
  if (c > 0x10FFFF || Utf8Locale() == static_cast<locale_t>(0)) return c;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), Utf8Locale()));
}

// Equality ignoring letter case, character by character (simple Unicode case
// folding, so "É" equals "é").
bool EqualsNoCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const text::Utf8Char ca = text::DecodeUtf8(a, i), cb = text::DecodeUtf8(b, j);
    if (FoldCase(CodePoint(ca)) != FoldCase(CodePoint(cb))) return false;
    i += ca.length;
    j += cb.length;
  }
  return i == a.size() && j == b.size();
}

void AppendNumber(int value, int width, std::string& out) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < static_cast<int>(sizeof digits));
  for (int i = n; i < width; ++i) out += '0';
  while (n > 0) out += digits[--n];
}

// Formats `date` as strftime would with `format`, which holds only %Y (the
// year without padding), %m, %d, %H, %M, %S and plain characters: strftime
// itself costs more than the rest of a record's cells.
void AppendDate(const COleDateTime& date, const char* format, std::string& out) {
  if (date.status != COleDateTime::valid) return;
  const std::optional<std::tm> fields = OleDateToTm(date.value);
  if (!fields) return;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%' || p[1] == '\0') {
      out += *p;
      continue;
    }
    switch (*++p) {
      case 'Y': AppendNumber(fields->tm_year + 1900, 1, out); break;
      case 'm': AppendNumber(fields->tm_mon + 1, 2, out); break;
      case 'd': AppendNumber(fields->tm_mday, 2, out); break;
      case 'H': AppendNumber(fields->tm_hour, 2, out); break;
      case 'M': AppendNumber(fields->tm_min, 2, out); break;
      case 'S': AppendNumber(fields->tm_sec, 2, out); break;
      default: out += *p; break;
    }
  }
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

const OrgColumn* FieldColumn(std::string_view name) {
  if (!name.empty() && name.front() == '[') {
    // Drop the "[" and whatever character ends the name (usually "]").
    if (name.size() < 2) return nullptr;
    size_t last = 1;
    for (size_t pos = 1; pos < name.size(); pos += text::DecodeUtf8(name, pos).length) last = pos;
    name = name.substr(1, last - 1);
  }
  for (const OrgColumn& column : kOrgColumns) {
    if (!column.field_name.empty() &&
        (text::EqualsIgnoreAsciiCase(name, column.field_name) ||
         (!column.field_alias.empty() && text::EqualsIgnoreAsciiCase(name, column.field_alias))))
      return &column;
  }
  return nullptr;
}

bool IsFieldName(const std::string& name) { return FieldColumn(name) != nullptr; }

std::string ClosestFieldName(const std::string& name) {
  std::string_view bare = text::Trim(name);
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  const OrgColumn* closest = nullptr;
  size_t best = SIZE_MAX;
  for (const OrgColumn& column : kOrgColumns) {
    for (const std::string_view known : {column.field_name, column.field_alias}) {
      if (known.empty()) continue;
      const size_t distance = text::EditDistanceIgnoreAsciiCase(bare, known);
      if (distance < best) {
        best = distance;
        closest = &column;
      }
    }
  }
  return closest ? std::string(closest->name) : std::string();
}

void WarnUnknownFields(const CReportDefinition& def, RunHost& host) {
  for (const FieldInfo& field : def.m_FieldInfoArray) {
    if (IsFieldName(field.strFieldName)) continue;
    host.Notice(def.KeyNotice("ReportField" + std::to_string(field.nNumber), field.strFieldName,
                              "no field has this name, so each of its cells says \"" +
                                  std::string(kNotFound) + "\"; did you mean \"" +
                                  ClosestFieldName(field.strFieldName) + "\"?"),
                Severity::kWarning);
  }
}

FieldReader::FieldReader(const FieldInfo& field, int date_style) : column_(FieldColumn(field.strFieldName)) {
  if (column_ != nullptr && column_->date != nullptr)
    date_format_ = column_->date == &tagORG_INFO::dtEventKillDate ? KillDateFormat(date_style)
                                                                 : UpdateTimeFormat(date_style);
}

std::string_view FieldReader::Value(const tagORG_INFO& org, std::string& scratch) const {
  if (column_ == nullptr) return kNotFound;
  if (column_->text != nullptr) return org.*column_->text;
  scratch.clear();
  AppendDate(org.*column_->date, date_format_, scratch);
  return scratch;
}

std::string GetFieldValue(const FieldInfo& field, const tagORG_INFO& org, int date_style) {
  std::string scratch;
  return std::string(FieldReader(field, date_style).Value(org, scratch));
}

std::string FormatPrintLine(const std::vector<FieldInfo>& fields, int date_style,
                            const tagORG_INFO& org, const tagORG_INFO& previous) {
  std::string line;
  for (const FieldInfo& field : fields) {
    if (field.nLength <= 1) continue;
    const auto width = static_cast<size_t>(field.nLength - 1);
    const std::string value = GetFieldValue(field, org, date_style);
    const std::string_view cell = text::Trim(value);
    bool blank = false;
    if (field.bSort && !field.bRepeat) {
      const std::string previous_value = GetFieldValue(field, previous, date_style);
      blank = EqualsNoCase(cell, text::Trim(previous_value));
    }
    if (blank) {
      line.append(kPad.substr(0, std::min(width, kPad.size())));
      continue;
    }
    const std::string_view cut = text::Utf8Prefix(cell, width);
    line.append(cut);
    if (cut.size() == cell.size()) {
      // The whole text fits: pad with blanks up to the width, at most 102.
      line.append(kPad.substr(0, std::min(width - text::Utf8Length(cell), kPad.size())));
    }
  }
  return line;
}

}  // namespace tavrin
