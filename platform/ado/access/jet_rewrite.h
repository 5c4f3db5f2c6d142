#ifndef TAVRIN_PLATFORM_ADO_ACCESS_JET_REWRITE_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_JET_REWRITE_H_

// The Jet SQL dialect rewritten for SQLite: string and date literals, "&",
// True and False, and the Jet functions renamed to the jet_* functions that
// jet_functions.h registers. Dates live in SQLite as numbers on the linear
// day scale of oledate.h, so that they compare and sort correctly.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::ado {

// The most rows one select of a query can give, whatever its conditions: a
// compound's parts added, each part's sources multiplied.
struct SelectBound {
  // A source of a part: a table by name (which may be empty: "[]"), or
  // with `sub_query` the select of index `select` in
  // RewrittenQuery::selects, a sub-query in FROM, which comes before it.
  struct Source {
    std::string table;
    bool sub_query = false;
    size_t select = 0;
  };
  // A part without sources (no FROM, or aggregates without GROUP BY) gives
  // one row.
  std::vector<std::vector<Source>> parts;
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
  // For rowid_sql: every name its WHERE and ORDER BY may give a column (each
  // word and bracketed name after the table's, once, letter case ignored).
  std::vector<std::string> rowid_names;
  // When rowid_sql ends in an ORDER BY of names only (each perhaps with ASC
  // or DESC): those, in order, and rowid_sql without its ORDER BY, so that
  // the caller may sort the rows itself. Empty otherwise.
  struct SortName {
    std::string name;
    bool descending = false;
  };
  std::vector<SortName> rowid_sort;
  std::string rowid_unsorted_sql;
  // Every select of the query, sub-queries included, each after the
  // sub-queries that it takes rows from.
  std::vector<SelectBound> selects;
};

// Rewrites `jet` (one SELECT statement). Thread-safe. A query in Jet's
// dialect that cannot be rewritten (an unterminated string, a bad date
// literal), or that is SQLite's SQL rather than Jet's (LIMIT, COLLATE, CAST,
// parameters, ...: the description then starts "not Jet SQL: "), throws the
// access::QueryError of a Jet-style description.
RewrittenQuery RewriteJetSql(std::string_view jet);

// The most rows any select of `query` can give, where table `name` holds
// rows_of(name) rows; saturates at UINT64_MAX.
uint64_t MostRowsOfAnySelect(const RewrittenQuery& query,
                             const std::function<uint64_t(const std::string& name)>& rows_of);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_JET_REWRITE_H_
