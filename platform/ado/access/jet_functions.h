#ifndef TAVRIN_PLATFORM_ADO_ACCESS_JET_FUNCTIONS_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_JET_FUNCTIONS_H_

// The Jet dialect's collation, LIKE and functions as SQLite sees them.

#include <string_view>

struct sqlite3;

namespace tavrin {
class Env;
}

namespace tavrin::ado {

// Registers on `db` the collation JET, the LIKE operator and the functions
// jet_concat, jet_ucase, jet_lcase, jet_trim, jet_len, jet_left, jet_right,
// jet_mid, jet_instr, jet_nz, jet_iif, jet_isnull, jet_date, jet_now,
// jet_year, jet_month, jet_day. Date() and Now() read the local time from
// `env`, which must outlive `db`. Returns an SQLite result code.
int RegisterJetDialect(sqlite3* db, Env& env);

// True for the names of Jet's functions that the dialect has (UCase, Len,
// Mid, Nz, IIf, Date, Year, ...; letter case ignored): RegisterJetDialect
// registers each as "jet_" and its name in lower case.
bool IsJetFunctionName(std::string_view word);

// True for the functions a query in the dialect may call: those that
// RegisterJetDialect registers (under any letter case) and SQLite's
// aggregates that Jet SQL has too (Count, Sum, Avg, Min, Max).
bool IsJetDialectFunction(std::string_view name);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_JET_FUNCTIONS_H_
