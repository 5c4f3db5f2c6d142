// Field texts and the listing line. The input is lines: a date style; field
// specs "name TAB length TAB sort TAB repeat" up to a line "--"; then the
// values of the record's 24 columns, one a line, in table order (numbers and
// day counts as text, "null" for a null date), then "--" and the previous
// record's. The listing line is never wider than its cells.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/org_info.h"
#include "fuzz/fuzz_env.h"
#include "output/field_values.h"
#include "platform/text/utf8.h"

namespace {

using namespace tavrin;

std::vector<std::string_view> Split(std::string_view s, char by) {
  std::vector<std::string_view> out;
  for (size_t at = 0;;) {
    const size_t next = s.find(by, at);
    out.push_back(s.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at));
    if (next == std::string_view::npos) return out;
    at = next + 1;
  }
}

// Fills `org` from the lines from `*at` up to "--" or the end.
void ReadRecord(const std::vector<std::string_view>& lines, size_t* at, tagORG_INFO* org) {
  for (const OrgColumn& c : kOrgColumns) {
    if (*at >= lines.size() || lines[*at] == "--") break;
    const std::string value(lines[(*at)++]);
    if (c.text) org->*c.text = value;
    if (c.number) org->*c.number = std::atoi(value.c_str());
    if (c.date) org->*c.date = value == "null" ? COleDateTime{0, COleDateTime::null} : COleDateTime{std::strtod(value.c_str(), nullptr)};
  }
  while (*at < lines.size() && lines[*at] != "--") ++*at;
  if (*at < lines.size()) ++*at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto lines = Split(fuzz::Text(data, size), '\n');
  const int style = std::atoi(std::string(lines[0]).c_str());
  std::vector<FieldInfo> fields;
  size_t at = 1;
  size_t widths = 0;
  for (; at < lines.size() && lines[at] != "--"; ++at) {
    const auto cells = Split(lines[at], '\t');
    FieldInfo f;
    f.strFieldName = cells[0];
    if (cells.size() > 1) f.nLength = std::atoi(std::string(cells[1]).c_str()) % 1000;
    f.bSort = cells.size() > 2 && cells[2] == "1";
    f.bRepeat = !(cells.size() > 3 && cells[3] == "0");
    if (f.nLength > 1) widths += static_cast<size_t>(f.nLength - 1);
    fields.push_back(std::move(f));
  }
  if (at < lines.size()) ++at;
  tagORG_INFO org, previous;
  ReadRecord(lines, &at, &org);
  ReadRecord(lines, &at, &previous);
  for (const auto& f : fields) GetFieldValue(f, org, style);
  const std::string line = FormatPrintLine(fields, style, org, previous);
  if (text::Utf8Length(line) > widths) std::abort();
  return 0;
}
