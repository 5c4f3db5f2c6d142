#ifndef TAVRIN_OUTPUT_FIELD_VALUES_H_
#define TAVRIN_OUTPUT_FIELD_VALUES_H_

#include <string>
#include <string_view>
#include <vector>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "run/run_host.h"

namespace tavrin {

// A report field resolved once per report to the column it reads and the
// date format it writes, so that the value of each record costs no name
// matching. Copied by value; thread-compatible.
class FieldReader {
 public:
  FieldReader(const FieldInfo& field, int date_style);

  // The text GetFieldValue gives for `org`: a text column's value in place,
  // a date formatted into `scratch`. Valid until `org` or `scratch` changes.
  std::string_view Value(const tagORG_INFO& org, std::string& scratch) const;

 private:
  const OrgColumn* column_;  // null: a name no column has
  const char* date_format_ = nullptr;
};

// The text of the field that `field.strFieldName` names, for `org`.
//
// Names are matched ignoring ASCII case and without trimming; a name that
// starts with "[" loses its first and its last character first. The 21 text
// fields are returned unchanged. The two dates ("event kill date", "event
// update time") are formatted in `date_style` (a DateStyle; any value other
// than 1 and 3 acts as 2); a date that is null, invalid or out of the
// calendar's range gives "". An unknown name gives "VALUE NOT FOUND".
// Stateless and thread-safe.
std::string GetFieldValue(const FieldInfo& field, const tagORG_INFO& org, int date_style);

// The column of table Org that the report field `name` (as written in
// "ReportField%d") reads, matched as GetFieldValue matches it; null for a
// name it does not know. Thread-safe.
const OrgColumn* FieldColumn(std::string_view name);

// True when GetFieldValue knows `name` (as written in "ReportField%d"), so
// that it never gives "VALUE NOT FOUND" for it. Thread-safe.
bool IsFieldName(const std::string& name);

// The field name (as table Org names its column, "Organization Name") that
// is closest to `name` by edit distance, ignoring ASCII case and the
// brackets a name may stand in: the likely meaning of a misspelt name.
std::string ClosestFieldName(const std::string& name);

// For each field of `def` that GetFieldValue does not know, one warning
// through `host` naming its key ReportField<n>, its value and the closest
// field name: every cell of that field would say "VALUE NOT FOUND".
void WarnUnknownFields(const CReportDefinition& def, RunHost& host);

// The fixed-width line of `org` in the printed listing, without a line end.
//
// One cell per field, no separators: the trimmed field text padded with 102
// blanks and cut to nLength - 1 characters. A sort field that must not
// repeat (bSort set, bRepeat clear) is blanked when its text equals that of
// `previous`, ignoring case. Widths count UTF-8 characters and never split
// one. Stateless and thread-safe.
std::string FormatPrintLine(const std::vector<FieldInfo>& fields, int date_style,
                            const tagORG_INFO& org, const tagORG_INFO& previous);

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_FIELD_VALUES_H_
