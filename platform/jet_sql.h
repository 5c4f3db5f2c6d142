#ifndef TAVRIN_PLATFORM_JET_SQL_H_
#define TAVRIN_PLATFORM_JET_SQL_H_

// The Jet SQL dialect on top of SQLite: a rewrite of the query text, the
// text collation, LIKE and the functions that users write in conditions.
//
// Text values are UTF-8. Dates live in SQLite as numbers on the linear day
// scale of oledate.h, so that they compare and sort correctly.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace tavrin::ado {

// A query in Jet's dialect that cannot be rewritten (an unterminated string,
// a bad date literal). what() is a Jet-style description.
class JetSqlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RewrittenQuery {
  // The query for SQLite: string literals single-quoted and collated as Jet
  // text, date literals as linear day numbers, & as jet_concat, True/False
  // as -1/0, Jet functions renamed to the registered jet_* functions.
  std::string sql;
  // The tables named after FROM (a list) and JOIN, in order of appearance,
  // each once (letter case ignored), brackets removed.
  std::vector<std::string> tables;
  // For "SELECT * FROM <one table> [WHERE ...] [ORDER BY ...]": the same
  // query selecting only the rowid, so the caller can deliver the table's
  // own rows in the query's order. Empty for any other shape.
  std::string rowid_sql;
};

// Rewrites `jet` (one SELECT statement). Throws JetSqlError.
RewrittenQuery RewriteJetSql(std::string_view jet);

// Jet's text order: letters compare without regard to case, and an accented
// letter sorts right after its base letter but is not equal to it (so
// "é" == "É", "e" < "é" < "f"). Returns <0, 0 or >0.
int JetCompare(std::string_view a, std::string_view b);

// Jet's LIKE (ANSI-92 wildcards): % any run of characters, _ one character,
// [abc] and [a-z] one of a set, [!abc] none of a set; [%] and [_] match
// themselves. Case is ignored as in JetCompare.
bool JetLike(std::string_view text, std::string_view pattern);

// The name of the collation that text columns declare.
inline constexpr const char* kJetCollation = "JET";

// Registers on `db` the collation JET, the LIKE operator and the functions
// jet_concat, jet_ucase, jet_lcase, jet_trim, jet_len, jet_left, jet_right,
// jet_mid, jet_instr, jet_nz, jet_iif, jet_isnull, jet_date, jet_now,
// jet_year, jet_month, jet_day. Returns an SQLite result code.
int RegisterJetDialect(sqlite3* db);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_JET_SQL_H_
