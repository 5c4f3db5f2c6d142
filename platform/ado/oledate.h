#ifndef TAVRIN_PLATFORM_ADO_OLEDATE_H_
#define TAVRIN_PLATFORM_ADO_OLEDATE_H_

#include <ctime>
#include <optional>

namespace tavrin {

// A date in the OLE automation scale with a status, as the database layer
// delivers it. `value` counts days from 1899-12-30 00:00: the integer part,
// taken toward zero, is the day, and the fraction's absolute value is the time
// of day (so -1.25 is 1899-12-29 06:00).
struct COleDateTime {
  enum DateTimeStatus { valid = 0, invalid = 1, null = 2 };
  double value = 0.0;
  DateTimeStatus status = valid;
};

// The calendar fields of an OLE date (tm_year from 1900, tm_mon from 0, with
// tm_wday and tm_yday filled), the time rounded to the nearest second. Empty
// when the value is out of the range 100-01-01 to 9999-12-31 or not finite.
std::optional<std::tm> OleDateToTm(double value);

// The OLE date of calendar fields (tm_year, tm_mon, tm_mday, tm_hour, tm_min,
// tm_sec). Empty when the fields are out of range.
std::optional<double> TmToOleDate(const std::tm& fields);

// The OLE date of a calendar date (month and day from 1) and time of day.
// Empty when a field is out of range, as for TmToOleDate.
std::optional<double> OleDateOf(int year, int month, int day, int hour = 0, int minute = 0,
                                int second = 0);

// The same moment on a linear day scale (days since 1899-12-30, fraction
// included, negative before it), on which dates compare and sort correctly.
double OleDateToLinear(double value);

// The inverse of OleDateToLinear.
double LinearToOleDate(double linear);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_ADO_OLEDATE_H_
