#include "platform/ado/oledate.h"

#include <cmath>

namespace tavrin {
namespace {

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int* y, int* m, int* d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yy + (*m <= 2));
}

const long long kOleEpochFromUnix = -25569;  // 1899-12-30 in days from 1970-01-01
const double kMinOle = -657434.0;            // 100-01-01
const double kMaxOle = 2958465.999999;       // 9999-12-31 23:59:59

}  // namespace

std::optional<std::tm> OleDateToTm(double value) {
  if (!std::isfinite(value) || value < kMinOle - 1 || value > kMaxOle + 1) return std::nullopt;
  double days = std::trunc(value);
  long long seconds = std::llround(std::fabs(value - days) * 86400.0);
  long long day = static_cast<long long>(days);
  if (seconds >= 86400) {  // rounding carried past midnight: the next calendar day
    seconds -= 86400;
    day += 1;
  }
  if (day < static_cast<long long>(kMinOle) || day > static_cast<long long>(kMaxOle)) return std::nullopt;
  std::tm out{};
  int y, m, d;
  const long long unix_day = day + kOleEpochFromUnix;
  CivilFromDays(unix_day, &y, &m, &d);
  out.tm_year = y - 1900;
  out.tm_mon = m - 1;
  out.tm_mday = d;
  out.tm_hour = static_cast<int>(seconds / 3600);
  out.tm_min = static_cast<int>(seconds / 60 % 60);
  out.tm_sec = static_cast<int>(seconds % 60);
  out.tm_wday = static_cast<int>(((unix_day % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  out.tm_yday = static_cast<int>(unix_day - DaysFromCivil(y, 1, 1));
  out.tm_isdst = 0;
  return out;
}

std::optional<double> TmToOleDate(const std::tm& f) {
  // The year is checked before 1900 is added, which could overflow.
  if (f.tm_year < 100 - 1900 || f.tm_year > 9999 - 1900 || f.tm_mon < 0 || f.tm_mon > 11 || f.tm_mday < 1 ||
      f.tm_mday > 31 || f.tm_hour < 0 || f.tm_hour > 23 || f.tm_min < 0 || f.tm_min > 59 ||
      f.tm_sec < 0 || f.tm_sec > 59)
    return std::nullopt;
  const int year = f.tm_year + 1900;
  const long long day =
      DaysFromCivil(year, static_cast<unsigned>(f.tm_mon + 1), static_cast<unsigned>(f.tm_mday)) -
      kOleEpochFromUnix;
  const double fraction = (f.tm_hour * 3600.0 + f.tm_min * 60.0 + f.tm_sec) / 86400.0;
  return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

std::optional<double> OleDateOf(int year, int month, int day, int hour, int minute, int second) {
  // The fields that are shifted are checked first, so that the shift cannot
  // overflow.
  if (year < 100 || year > 9999 || month < 1 || month > 12) return std::nullopt;
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return TmToOleDate(fields);
}

double OleDateToLinear(double value) {
  if (value >= 0) return value;
  const double days = std::trunc(value);
  return days + std::fabs(value - days);
}

double LinearToOleDate(double linear) {
  if (linear >= 0) return linear;
  const double days = std::floor(linear);
  const double fraction = linear - days;
  return fraction == 0.0 ? days : days - fraction;
}

}  // namespace tavrin
