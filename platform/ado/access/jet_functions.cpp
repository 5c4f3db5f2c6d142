#include "platform/ado/access/jet_functions.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/ado/access/jet_collation.h"
#include "platform/ado/oledate.h"
#include "platform/env/env.h"
#include "platform/text/ascii.h"

namespace tavrin::ado {
namespace {

std::string_view ArgText(sqlite3_value* v) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(v));
  return p ? std::string_view(p, static_cast<size_t>(sqlite3_value_bytes(v))) : std::string_view();
}

bool IsNullArg(sqlite3_value* v) { return sqlite3_value_type(v) == SQLITE_NULL; }

void ResultText(sqlite3_context* ctx, const std::string& s) {
  sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// Jet shows whole numbers without a fraction where SQLite would print "1.0".
std::string ValueAsText(sqlite3_value* v) {
  if (sqlite3_value_type(v) == SQLITE_FLOAT) {
    const double d = sqlite3_value_double(v);
    char buf[40];
    if (d == std::trunc(d) && std::fabs(d) < 1e15) std::snprintf(buf, sizeof buf, "%.0f", d);
    else std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
  }
  return std::string(ArgText(v));
}

void InvalidCall(sqlite3_context* ctx) { sqlite3_result_error(ctx, "Invalid procedure call or argument", -1); }

void FnConcat(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0]) && IsNullArg(a[1])) return sqlite3_result_null(ctx);
  ResultText(ctx, ValueAsText(a[0]) + ValueAsText(a[1]));
}

template <char32_t (*Map)(char32_t)>
void FnMapCase(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  std::u32string cps = CodePoints(ValueAsText(a[0]));
  for (char32_t& c : cps) c = Map(c);
  ResultText(ctx, ToUtf8(cps));
}

void FnTrim(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  // Jet's Trim removes spaces only.
  ResultText(ctx, std::string(text::Trim(ValueAsText(a[0]), " ")));
}

void FnLen(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(CodePoints(ValueAsText(a[0])).size()));
}

// The characters [start, start + count) of the argument; start from 0.
void ResultSlice(sqlite3_context* ctx, const std::u32string& cps, int64_t start, int64_t count) {
  if (start >= static_cast<int64_t>(cps.size()) || count <= 0) return ResultText(ctx, "");
  count = std::min<int64_t>(count, static_cast<int64_t>(cps.size()) - start);
  ResultText(ctx, ToUtf8(std::u32string_view(cps).substr(static_cast<size_t>(start), static_cast<size_t>(count))));
}

void FnLeft(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  if (IsNullArg(a[1]) || sqlite3_value_int64(a[1]) < 0) return InvalidCall(ctx);
  ResultSlice(ctx, CodePoints(ValueAsText(a[0])), 0, sqlite3_value_int64(a[1]));
}

void FnRight(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  if (IsNullArg(a[1]) || sqlite3_value_int64(a[1]) < 0) return InvalidCall(ctx);
  const std::u32string cps = CodePoints(ValueAsText(a[0]));
  const int64_t n = std::min<int64_t>(sqlite3_value_int64(a[1]), static_cast<int64_t>(cps.size()));
  ResultSlice(ctx, cps, static_cast<int64_t>(cps.size()) - n, n);
}

void FnMid(sqlite3_context* ctx, int argc, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  if (IsNullArg(a[1]) || sqlite3_value_int64(a[1]) < 1) return InvalidCall(ctx);
  if (argc == 3 && (IsNullArg(a[2]) || sqlite3_value_int64(a[2]) < 0)) return InvalidCall(ctx);
  const int64_t count = argc == 3 ? sqlite3_value_int64(a[2]) : INT64_MAX;
  ResultSlice(ctx, CodePoints(ValueAsText(a[0])), sqlite3_value_int64(a[1]) - 1, count);
}

// InStr([start,] text, sought[, compare]): the 1-based position or 0; the
// comparison ignores case unless compare is 0 (binary).
void FnInStr(sqlite3_context* ctx, int argc, sqlite3_value** a) {
  int64_t start = 1;
  int first = 0;
  if (argc >= 3) {
    if (IsNullArg(a[0])) return InvalidCall(ctx);
    start = sqlite3_value_int64(a[0]);
    if (start < 1) return InvalidCall(ctx);
    first = 1;
  }
  const bool binary = argc == 4 && !IsNullArg(a[3]) && sqlite3_value_int64(a[3]) == 0;
  if (IsNullArg(a[first]) || IsNullArg(a[first + 1])) return sqlite3_result_null(ctx);
  const std::string hay = ValueAsText(a[first]), needle = ValueAsText(a[first + 1]);
  const std::u32string h = binary ? CodePoints(hay) : FoldedCodePoints(hay);
  const std::u32string n = binary ? CodePoints(needle) : FoldedCodePoints(needle);
  if (start > static_cast<int64_t>(h.size())) return sqlite3_result_int64(ctx, 0);
  const size_t pos = h.find(n, static_cast<size_t>(start - 1));
  sqlite3_result_int64(ctx, pos == std::u32string::npos ? 0 : static_cast<sqlite3_int64>(pos + 1));
}

void FnNz(sqlite3_context* ctx, int argc, sqlite3_value** a) {
  if (!IsNullArg(a[0])) return sqlite3_result_value(ctx, a[0]);
  if (argc == 2) return sqlite3_result_value(ctx, a[1]);
  ResultText(ctx, "");
}

void FnIIf(sqlite3_context* ctx, int, sqlite3_value** a) {
  const bool truth = !IsNullArg(a[0]) && sqlite3_value_double(a[0]) != 0.0;
  sqlite3_result_value(ctx, truth ? a[1] : a[2]);
}

void FnIsNull(sqlite3_context* ctx, int, sqlite3_value** a) {
  sqlite3_result_int(ctx, IsNullArg(a[0]) ? -1 : 0);
}

// Date() (with_time false) and Now() in the local time of the Env that the
// function was registered with.
template <bool kWithTime>
void FnTodayOrNow(sqlite3_context* ctx, int, sqlite3_value**) {
  std::tm local = static_cast<Env*>(sqlite3_user_data(ctx))->LocalNow();
  if (!kWithTime) local.tm_hour = local.tm_min = local.tm_sec = 0;
  const auto ole = TmToOleDate(local);
  ole ? sqlite3_result_double(ctx, OleDateToLinear(*ole)) : sqlite3_result_null(ctx);
}

// Year, Month, Day of a date held as a linear day number.
template <int std::tm::*Field, int kOffset>
void FnDatePart(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  const auto tm = OleDateToTm(LinearToOleDate(sqlite3_value_double(a[0])));
  if (!tm) return InvalidCall(ctx);
  sqlite3_result_int(ctx, (*tm).*Field + kOffset);
}

void FnLike(sqlite3_context* ctx, int, sqlite3_value** a) {
  // X LIKE Y arrives as like(Y, X).
  if (IsNullArg(a[0]) || IsNullArg(a[1])) return sqlite3_result_null(ctx);
  sqlite3_result_int(ctx, JetLike(ValueAsText(a[1]), ValueAsText(a[0])) ? 1 : 0);
}

int CollateJet(void*, int na, const void* a, int nb, const void* b) {
  return JetCompare(std::string_view(static_cast<const char*>(a), static_cast<size_t>(na)),
                    std::string_view(static_cast<const char*>(b), static_cast<size_t>(nb)));
}

struct JetFunction {
  const char* name;
  int args;
  void (*fn)(sqlite3_context*, int, sqlite3_value**);
  bool deterministic;
  // Jet SQL calls it by its name after "jet_"; the others only the
  // rewrite emits (jet_concat) or SQLite calls (like).
  bool jet_named = true;
};

constexpr std::string_view kJetPrefix = "jet_";

const JetFunction kJetFunctions[] = {
    {"jet_concat", 2, FnConcat, true, false},
    {"jet_ucase", 1, FnMapCase<JetUpper>, true},
    {"jet_lcase", 1, FnMapCase<JetLower>, true},
    {"jet_trim", 1, FnTrim, true},
    {"jet_len", 1, FnLen, true},
    {"jet_left", 2, FnLeft, true},
    {"jet_right", 2, FnRight, true},
    {"jet_mid", 2, FnMid, true},
    {"jet_mid", 3, FnMid, true},
    {"jet_instr", 2, FnInStr, true},
    {"jet_instr", 3, FnInStr, true},
    {"jet_instr", 4, FnInStr, true},
    {"jet_nz", 1, FnNz, true},
    {"jet_nz", 2, FnNz, true},
    {"jet_iif", 3, FnIIf, true},
    {"jet_isnull", 1, FnIsNull, true},
    {"jet_date", 0, FnTodayOrNow<false>, false},
    {"jet_now", 0, FnTodayOrNow<true>, false},
    {"jet_year", 1, FnDatePart<&std::tm::tm_year, 1900>, true},
    {"jet_month", 1, FnDatePart<&std::tm::tm_mon, 1>, true},
    {"jet_day", 1, FnDatePart<&std::tm::tm_mday, 0>, true},
    {"like", 2, FnLike, true, false},
};

}  // namespace

int RegisterJetDialect(sqlite3* db, Env& env) {
  for (const auto& f : kJetFunctions) {
    const int flags = SQLITE_UTF8 | (f.deterministic ? SQLITE_DETERMINISTIC : 0);
    const int rc = sqlite3_create_function(db, f.name, f.args, flags, &env, f.fn, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  return sqlite3_create_collation(db, kJetCollation, SQLITE_UTF8, nullptr, CollateJet);
}

bool IsJetFunctionName(std::string_view word) {
  for (const auto& f : kJetFunctions)
    if (f.jet_named && text::EqualsIgnoreAsciiCase(word, std::string_view(f.name).substr(kJetPrefix.size())))
      return true;
  return false;
}

bool IsJetDialectFunction(std::string_view name) {
  for (const auto& f : kJetFunctions)
    if (text::EqualsIgnoreAsciiCase(name, f.name)) return true;
  for (const char* aggregate : {"count", "sum", "avg", "min", "max"})
    if (text::EqualsIgnoreAsciiCase(name, aggregate)) return true;
  return false;
}

}  // namespace tavrin::ado
