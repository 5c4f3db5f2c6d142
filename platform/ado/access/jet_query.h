#ifndef TAVRIN_PLATFORM_ADO_ACCESS_JET_QUERY_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_JET_QUERY_H_

// Running a query in Jet's dialect over stored tables in an in-memory
// SQLite database, held to that dialect: only Jet's functions (and the ones
// the rewrite emits) may be called, only reading selects may run, one query
// may use a bounded amount of memory, and it ends when it runs past its
// deadline or its caller asks it to stop.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_rewrite.h"
#include "platform/ado/access/table_module.h"
#include "platform/ado/provider.h"
#include "platform/env/env.h"

namespace tavrin::ado::access {

// The longest one query may run.
inline constexpr std::chrono::milliseconds kQueryDeadline{30000};
// What one query may hold: SQLite's heap and the rows of its result
// together.
inline constexpr int64_t kQueryMemoryBytes = int64_t{512} << 20;
// A query whose selects could give more rows than this many times those of
// its largest table (or than kQueryRowsAlwaysAllowed, for small tables) is
// refused before it runs: a union or join that multiplies the table.
inline constexpr uint64_t kQueryRowFactor = 4;
inline constexpr uint64_t kQueryRowsAlwaysAllowed = 100000;

struct QueryControl {
  CancelCheck cancelled;  // asked many times a second while the query runs
  std::chrono::milliseconds deadline = kQueryDeadline;
  int64_t memory = kQueryMemoryBytes;
};

// The failure of a query that needs more than `limit` bytes.
ProviderFailure QueryMemoryFailure(int64_t limit);

// Runs `query` over `data` (which holds the tables that query.tables
// names, in that order) and returns its whole result, which may share the
// tables. Date() and Now() read `env`. While it runs, SQLite's process-wide
// hard heap limit is `control.memory` less what the result holds so far (so
// queries must run one at a time), and is set back afterwards. Throws
// ProviderFailure: kDbErrorsInCommand for errors in the text and for a
// function that is not Jet's ("Undefined function"), kEFail for a statement
// that would write, a timeout once the deadline (on `env`'s clock) has
// passed, kEAbort once `cancelled` is true, QueryMemoryFailure once the query
// holds more than `control.memory`, and kEOutOfMemory before it runs for a
// query whose selects could give more rows than kQueryRowFactor times its
// largest table (see there), and kEFail for a query that reads a column
// whose values a table read in part (ColumnInfo::loaded) does not hold.
std::unique_ptr<ResultSet> RunJetQuery(const RewrittenQuery& query, const AttachedTables& data, Env& env,
                                       const QueryControl& control);

// For a query of the form "SELECT * FROM <one table> [WHERE] [ORDER BY]"
// over `data`, the rows of its result as numbers of the table's rows, in
// the result's order (rows alike in every ORDER BY key in the table's
// order, as SQLite's sorter leaves them); nullopt for any other form, and
// when its WHERE or ORDER BY reads a column whose values a table read in
// part does not hold.
// Otherwise throws as RunJetQuery.
std::optional<std::vector<uint32_t>> RunJetRowQuery(const RewrittenQuery& query, const AttachedTables& data,
                                                    Env& env, const QueryControl& control);

// Prepares `query` over `data` as RunJetQuery would, without running it, and
// returns the names of its result's columns. Throws as RunJetQuery.
std::vector<std::string> PrepareJetQuery(const RewrittenQuery& query, const AttachedTables& data, Env& env);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_JET_QUERY_H_
