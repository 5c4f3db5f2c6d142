#include "platform/ado/access/jet_query.h"

#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_collation.h"
#include "platform/ado/access/jet_functions.h"
#include "platform/ado/access/stored_table.h"
#include "platform/text/ascii.h"

namespace tavrin::ado::access {
namespace {

using SqlitePtr = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// OLE DB: "Timeout expired".
constexpr HRESULT kDbTimeout = static_cast<HRESULT>(0x80040E31);
constexpr int kProgressSteps = 10000;  // virtual machine steps between two looks at the clock
const char kReadOnly[] = "Cannot update.  Database or object is read-only.";

// What one query may do and how it is going; the authorizer and the
// progress handler report here why they refused.
struct Guard {
  Env& env;
  const QueryControl& control;
  Env::SteadyTime deadline;
  const AttachedTables& data;
  std::string refused_function = {};
  bool refused_write = false;
  bool refused_other = false;
  bool stopped = false;
  bool overtime = false;
  bool unloaded = false;  // it reads a column that a table read in part lacks
};

// Whether column `column` of table `table` is one whose values were not
// loaded.
bool IsUnloaded(const AttachedTables& data, const char* table, const char* column) {
  if (!table || !column) return false;
  for (const auto& t : data.tables) {
    if (!text::EqualsIgnoreAsciiCase(t->name, table)) continue;
    for (const ColumnInfo& c : t->columns)
      if (!c.loaded && text::EqualsIgnoreAsciiCase(c.name, column)) return true;
  }
  return false;
}

bool IsWrite(int action) {
  switch (action) {
    case SQLITE_SELECT: case SQLITE_READ: case SQLITE_FUNCTION: case SQLITE_RECURSIVE:
    case SQLITE_PRAGMA: case SQLITE_ATTACH: case SQLITE_DETACH: case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT: case SQLITE_ANALYZE:
      return false;
    default:
      return true;
  }
}

int Authorize(void* data, int action, const char* a, const char* b, const char*, const char*) {
  auto* guard = static_cast<Guard*>(data);
  switch (action) {
    case SQLITE_SELECT:
      return SQLITE_OK;
    case SQLITE_READ:
      // The tables of the query only, not SQLite's own.
      if (a && text::StartsWithIgnoreAsciiCase(a, "sqlite_")) break;
      if (IsUnloaded(guard->data, a, b)) {
        guard->unloaded = true;
        return SQLITE_DENY;
      }
      return SQLITE_OK;
    case SQLITE_FUNCTION:
      if (b && IsJetDialectFunction(b)) return SQLITE_OK;
      guard->refused_function = b ? b : "";
      return SQLITE_DENY;
    default:
      break;
  }
  (IsWrite(action) ? guard->refused_write : guard->refused_other) = true;
  return SQLITE_DENY;
}

int Progress(void* data) {
  auto* guard = static_cast<Guard*>(data);
  if (guard->control.cancelled && guard->control.cancelled()) guard->stopped = true;
  else if (guard->env.SteadyNow() > guard->deadline) guard->overtime = true;
  return guard->stopped || guard->overtime;
}

// What one query holds, SQLite's heap and its stored result together, kept
// under one limit: SQLite's hard heap limit is lowered by what the result
// holds as it grows, checked each time the result has grown by kStep.
class MemoryBudget {
 public:
  explicit MemoryBudget(int64_t limit) : limit_(limit), before_(sqlite3_hard_heap_limit64(-1)) { Lower(); }
  ~MemoryBudget() { sqlite3_hard_heap_limit64(before_); }
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Counts `bytes` more held by the result; false once the query holds more
  // than its limit.
  bool Hold(size_t bytes) {
    held_ += static_cast<int64_t>(bytes);
    if (held_ - counted_ < kStep) return true;
    counted_ = held_;
    Lower();
    return held_ + sqlite3_memory_used() <= limit_;
  }

 private:
  static constexpr int64_t kStep = int64_t{1} << 20;
  // A hard heap limit of 0 would mean none, so the least is one byte.
  void Lower() { sqlite3_hard_heap_limit64(std::max<int64_t>(limit_ - held_, 1)); }

  const int64_t limit_;
  const sqlite3_int64 before_;
  int64_t held_ = 0;
  int64_t counted_ = 0;
};

// The failure of an SQLite call, told in Jet's terms where the guard knows
// more than SQLite's message.
ProviderFailure Failure(sqlite3* db, const Guard& guard) {
  if (guard.stopped) return Stopped();
  if (guard.overtime)
    return {kDbTimeout,
            "The query ran longer than " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(guard.control.deadline).count()) +
                " seconds and was stopped.",
            {}};
  if (!guard.refused_function.empty())
    return QueryError("Undefined function '" + guard.refused_function + "' in expression.");
  if (guard.refused_write) return {kEFail, kReadOnly, {}};
  if (guard.refused_other) return QueryError("The query uses SQL that is not part of Jet SQL.");
  const int rc = sqlite3_errcode(db);
  if (rc == SQLITE_NOMEM || rc == SQLITE_TOOBIG) return QueryMemoryFailure(guard.control.memory);
  return QueryError(sqlite3_errmsg(db));
}

// Steps `st` to its end, calling `row` for each result row.
template <typename RowFn>
void StepAll(sqlite3* db, sqlite3_stmt* st, const Guard& guard, RowFn row) {
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row();
  if (rc != SQLITE_DONE) throw Failure(db, guard);
}

// Compiles `sql`, the query's one statement; null when it reads a column
// whose values a table read in part does not hold.
StatementPtr PrepareOverPart(sqlite3* db, const std::string& sql, const Guard& guard) {
  sqlite3_stmt* st = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, &tail);
  StatementPtr out(st, sqlite3_finalize);
  if (guard.unloaded) return StatementPtr(nullptr, sqlite3_finalize);
  if (rc != SQLITE_OK) throw Failure(db, guard);
  if (!out) throw QueryError("The query is empty.");
  // One statement only: a second one would otherwise be ignored unseen.
  while (tail && (*tail == ' ' || *tail == ';')) ++tail;
  if (tail && *tail) throw QueryError("Characters found after end of SQL statement.");
  if (!sqlite3_stmt_readonly(st)) throw ProviderFailure{kEFail, kReadOnly, {}};
  return out;
}

// As PrepareOverPart, for a query over whole tables.
StatementPtr Prepare(sqlite3* db, const std::string& sql, const Guard& guard) {
  StatementPtr out = PrepareOverPart(db, sql, guard);
  if (!out) throw ProviderFailure(kEFail, "The query reads a column of a table that was read in part.");
  return out;
}

// A result of any shape, stored like a table. A column takes the date kind
// when it is a date column of a table, otherwise the kind of each value.
std::shared_ptr<StoredTable> StoreResult(sqlite3* db, sqlite3_stmt* st, const Guard& guard,
                                         MemoryBudget& budget) {
  auto out = std::make_shared<StoredTable>();
  const int n = sqlite3_column_count(st);
  std::vector<bool> dates;
  for (int i = 0; i < n; ++i) {
    const char* decl = sqlite3_column_decltype(st, i);
    dates.push_back(decl && text::EqualsIgnoreAsciiCase(decl, "DATETIME"));
    out->columns.push_back({sqlite3_column_name(st, i), dates.back() ? Tag::kDate : Tag::kText});
  }
  RowBuilder row;
  StepAll(db, st, guard, [&] {
    row.Clear();
    for (int i = 0; i < n; ++i) {
      switch (sqlite3_column_type(st, i)) {
        case SQLITE_NULL:
          row.AddNull();
          break;
        case SQLITE_INTEGER: {
          const sqlite3_int64 v = sqlite3_column_int64(st, i);
          if (dates[static_cast<size_t>(i)]) row.AddNumber(Tag::kDate, static_cast<double>(v));
          else if (v >= INT32_MIN && v <= INT32_MAX) row.AddNumber(Tag::kLong, static_cast<double>(v));
          else row.AddNumber(Tag::kDouble, static_cast<double>(v));
          break;
        }
        case SQLITE_FLOAT:
          row.AddNumber(dates[static_cast<size_t>(i)] ? Tag::kDate : Tag::kDouble, sqlite3_column_double(st, i));
          break;
        default: {
          const auto* t = static_cast<const char*>(sqlite3_column_blob(st, i));
          row.AddText(std::string_view(t ? t : "", static_cast<size_t>(sqlite3_column_bytes(st, i))));
          break;
        }
      }
    }
    out->AddRow(row.cells());
    // The row's cells and its entry in the table's index.
    if (!budget.Hold(row.cells().size() + 2 * sizeof(const char*))) throw QueryMemoryFailure(guard.control.memory);
  });
  out->Finish();
  return out;
}

bool HasColumn(const StoredTable& t, const char* name) {
  for (const auto& c : t.columns)
    if (text::EqualsIgnoreAsciiCase(c.name, name)) return true;
  return false;
}

// Bounds on what one statement may be; generous for any Where a report
// holds (its text is at most 299 bytes).
void SetLimits(sqlite3* db) {
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 256 << 20);
  sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, 100000);
  sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, 100);
  sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, 16);
  sqlite3_limit(db, SQLITE_LIMIT_VDBE_OP, 25000);
  sqlite3_limit(db, SQLITE_LIMIT_FUNCTION_ARG, 8);
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_limit(db, SQLITE_LIMIT_WORKER_THREADS, 0);
}

// An in-memory SQLite database speaking Jet's dialect over `data` (which
// must outlive it), with the guard in place for the query's own text.
SqlitePtr OpenEngine(const AttachedTables& data, Env& env, Guard& guard) {
  sqlite3* raw = nullptr;
  const int open_rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  SqlitePtr db(raw, sqlite3_close);
  if (open_rc != SQLITE_OK) throw ProviderFailure{kEOutOfMemory, "Cannot start the query engine.", {}};
  // A double-quoted name must never pass for text, and "..." literals are
  // rewritten already.
  sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  SetLimits(raw);
  if (RegisterJetDialect(raw, env) != SQLITE_OK) throw ProviderFailure{kEFail, sqlite3_errmsg(raw), {}};
  AttachTables(raw, &data);

  // From here on the query's own text runs, under the guard.
  sqlite3_set_authorizer(raw, Authorize, &guard);
  sqlite3_progress_handler(raw, kProgressSteps, Progress, &guard);
  return db;
}

// Refuses `query` when one of its selects could give more rows than
// kQueryRowFactor allows over `data`, before it runs.
void RefuseMultiplied(const RewrittenQuery& query, const AttachedTables& data, const QueryControl& control) {
  uint64_t largest = 0;
  for (const auto& t : data.tables) largest = std::max<uint64_t>(largest, t->rows());
  const uint64_t most = MostRowsOfAnySelect(query, [&](const std::string& name) -> uint64_t {
    for (const auto& t : data.tables)
      if (text::EqualsIgnoreAsciiCase(t->name, name)) return t->rows();
    return 0;
  });
  if (most <= std::max(kQueryRowFactor * largest, kQueryRowsAlwaysAllowed)) return;
  throw ProviderFailure{
      kEOutOfMemory,
      "the query needs more than one query may hold (" + std::to_string(control.memory >> 20) + " MiB and " +
          std::to_string(kQueryRowFactor) + " times the rows of its largest table): it could give " +
          (most == UINT64_MAX ? std::string("more rows than can be counted") : std::to_string(most) + " rows") +
          " from a table of " + std::to_string(largest) + ", so it was refused before it ran.",
      {}};
}

// One key of a sort done here rather than by SQLite: a loaded column of
// the table, its text compared as SQLite compares the column's.
struct SortKey {
  size_t column;
  bool descending;
  bool jet_text;  // the column's collation is Jet's, otherwise SQLite's BINARY
};

// The keys of query.rowid_sort over `table`; empty when a name is not a
// loaded column of it (SQLite then sorts, and says what is wrong).
std::vector<SortKey> SortKeys(const RewrittenQuery& query, const StoredTable& table) {
  std::vector<SortKey> keys;
  for (const auto& sort : query.rowid_sort) {
    size_t c = 0;
    while (c < table.columns.size() && !text::EqualsIgnoreAsciiCase(table.columns[c].name, sort.name)) ++c;
    if (c == table.columns.size() || !table.columns[c].loaded) return {};
    keys.push_back({c, sort.descending, table.columns[c].declared == Tag::kText});
  }
  return keys;
}

// A value's class in SQLite's order: null (NaN too, which SQLite takes as
// null), then numbers, then text.
int Class(const StoredTable::Cell& c) {
  if (c.tag == Tag::kNull || (c.tag != Tag::kText && std::isnan(c.number))) return 0;
  return c.tag == Tag::kText ? 2 : 1;
}

// How SQLite orders two values of a column: by class, numbers by value,
// text by the column's collation.
int CompareCells(const StoredTable::Cell& a, const StoredTable::Cell& b, bool jet_text) {
  const int ca = Class(a), cb = Class(b);
  if (ca != cb) return ca < cb ? -1 : 1;
  if (ca == 0) return 0;
  if (ca == 1) return a.number < b.number ? -1 : (b.number < a.number ? 1 : 0);
  const int c = jet_text ? JetCompare(a.text, b.text) : a.text.compare(b.text);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Where a text in Jet's collation stands among others, as far as its first
// eight characters tell: their big-endian bytes, ASCII lower-cased, 0 past
// its end, 0xFF from its first other character on (not known).
uint64_t TextPrefix(std::string_view s, bool jet_text) {
  uint64_t prefix = 0;
  bool known = jet_text;
  for (size_t i = 0; i < 8; ++i) {
    const auto c = i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
    known = known && c < 0x80;
    prefix = prefix << 8 | (known ? static_cast<unsigned char>(text::AsciiLower(static_cast<char>(c))) : 0xFF);
  }
  return prefix;
}

// A number's bits, made to order as the numbers do (0 and -0 alike).
uint64_t NumberBits(double d) {
  const auto bits = std::bit_cast<uint64_t>(d == 0 ? 0.0 : d);
  return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

// One distinct value of a sort key: a row that holds it, its class, and
// where it stands as far as its bits (a number) or its TextPrefix tell.
struct Distinct {
  uint64_t prefix;
  uint32_t row;
  int value_class;
};

// -1, 0 or 1: the order of two distinct values of column `key`, the
// prefixes deciding when they can (the texts lie far apart in memory).
int CompareDistinct(const StoredTable& table, const SortKey& key, const Distinct& a, const Distinct& b) {
  if (a.value_class != b.value_class) return a.value_class < b.value_class ? -1 : 1;
  const uint64_t x = a.prefix, y = b.prefix;
  if (a.value_class != 2) return x < y ? -1 : (y < x ? 1 : 0);
  if (x != y) {
    const int shift = 56 - std::countl_zero(x ^ y) / 8 * 8;
    if (((x >> shift) & 0xFF) != 0xFF && ((y >> shift) & 0xFF) != 0xFF) return x < y ? -1 : 1;
  }
  return CompareCells(table.Get(a.row, key.column), table.Get(b.row, key.column), key.jet_text);
}

// Calls the guard's progress check every so often; throws as the query
// would once it says stop.
class SortProgress {
 public:
  SortProgress(sqlite3* db, Guard& guard) : db_(db), guard_(guard) {}
  void Step() {
    if (++steps_ % 16384 == 0 && Progress(&guard_)) throw Failure(db_, guard_);
  }

 private:
  sqlite3* db_;
  Guard& guard_;
  uint32_t steps_ = 0;
};

// The most distinct values a key may have for the rows to be sorted here.
// Sorting the distinct values reads their texts all over memory; beyond
// this many, SQLite's sorter, which copies the keys together, is faster.
constexpr size_t kMostDistinctValues = 16384;

// The distinct values of one key, each found once.
class DistinctValues {
 public:
  // The number of the value of `cell` (of row `row`), new or found.
  uint32_t Find(const StoredTable::Cell& cell, uint32_t row, bool jet_text) {
    const int value_class = Class(cell);
    const uint64_t bits = value_class == 1 ? NumberBits(cell.number) : 0;
    const auto next = static_cast<uint32_t>(values_.size());
    uint32_t found;
    if (value_class == 2) {
      found = texts_.try_emplace(cell.text, next).first->second;
    } else if (value_class == 1) {
      found = numbers_.try_emplace(bits, next).first->second;
    } else {
      if (!null_) null_ = next;
      found = *null_;
    }
    if (found == next) values_.push_back({value_class == 2 ? TextPrefix(cell.text, jet_text) : bits, row, value_class});
    return found;
  }
  size_t size() const { return values_.size(); }

  // The rank of each value, by number, in the direction of `key`: equal
  // ranks for values that SQLite's order holds equal.
  std::vector<uint32_t> Ranks(const StoredTable& table, const SortKey& key, SortProgress& progress) const {
    std::vector<uint32_t> order(values_.size());
    for (uint32_t d = 0; d < order.size(); ++d) order[d] = d;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      progress.Step();
      return CompareDistinct(table, key, values_[a], values_[b]) < 0;
    });
    std::vector<uint32_t> rank_of(values_.size());
    uint32_t rank = 0;
    for (size_t d = 0; d < order.size(); ++d) {
      if (d > 0 && CompareDistinct(table, key, values_[order[d - 1]], values_[order[d]]) != 0) ++rank;
      rank_of[order[d]] = rank;
    }
    if (key.descending)
      for (uint32_t& r : rank_of) r = rank - r;
    return rank_of;
  }

 private:
  std::vector<Distinct> values_;
  std::unordered_map<std::string_view, uint32_t> texts_;
  std::unordered_map<uint64_t, uint32_t> numbers_;
  std::optional<uint32_t> null_;
};

// For each row of `table`, the ranks of its values of `keys` among those of
// the table (row by row, a rank per key), or nothing when a key has more
// than kMostDistinctValues. Each distinct value is compared, not each row:
// keys of few values (a category, a status, names that repeat) cost little.
std::optional<std::vector<uint32_t>> RankRows(const StoredTable& table, const std::vector<SortKey>& keys,
                                              SortProgress& progress) {
  const size_t width = keys.size();
  std::vector<DistinctValues> distinct(width);
  std::vector<uint32_t> ranks(table.rows() * width);
  for (size_t row = 0; row < table.rows(); ++row) {
    progress.Step();
    for (size_t k = 0; k < width; ++k) {
      ranks[row * width + k] =
          distinct[k].Find(table.Get(row, keys[k].column), static_cast<uint32_t>(row), keys[k].jet_text);
      if (distinct[k].size() > kMostDistinctValues) return std::nullopt;
    }
  }
  for (size_t k = 0; k < width; ++k) {
    const std::vector<uint32_t> rank_of = distinct[k].Ranks(table, keys[k], progress);
    for (size_t row = 0; row < table.rows(); ++row) ranks[row * width + k] = rank_of[ranks[row * width + k]];
  }
  return ranks;
}

// Sorts the row numbers `rows` by their `ranks` (RankRows), stably, as
// SQLite's sorter orders the rows of a scan: it keeps rows of equal keys in
// the order they came.
void SortByRanks(std::vector<uint32_t>& rows, const std::vector<uint32_t>& ranks, size_t width) {
  std::stable_sort(rows.begin(), rows.end(), [&](uint32_t a, uint32_t b) {
    const uint32_t* x = &ranks[a * width];
    const uint32_t* y = &ranks[b * width];
    return std::lexicographical_compare(x, x + width, y, y + width);
  });
}

}  // namespace

ProviderFailure QueryMemoryFailure(int64_t limit) {
  return {kEOutOfMemory, "the query needs more than " + std::to_string(limit >> 20) + " MiB of memory and was stopped.",
          {}};
}

std::optional<std::vector<uint32_t>> RunJetRowQuery(const RewrittenQuery& query, const AttachedTables& data,
                                                    Env& env, const QueryControl& control) {
  if (query.rowid_sql.empty() || data.tables.size() != 1 || HasColumn(*data.tables[0], "_rowid_"))
    return std::nullopt;
  Guard guard{env, control, env.SteadyNow() + control.deadline, data};
  const MemoryBudget budget(control.memory);
  const SqlitePtr db = OpenEngine(data, env, guard);
  sqlite3* raw = db.get();
  // Rows sorted by columns of few values each are sorted here, by ranks:
  // SQLite's sorter would copy every key into records of its own (and
  // spill them to files).
  const StoredTable& table = *data.tables[0];
  const std::vector<SortKey> keys = SortKeys(query, table);
  StatementPtr st = PrepareOverPart(raw, keys.empty() ? query.rowid_sql : query.rowid_unsorted_sql, guard);
  if (!st) return std::nullopt;
  std::optional<std::vector<uint32_t>> ranks;
  if (!keys.empty()) {
    SortProgress progress(raw, guard);
    ranks = RankRows(table, keys, progress);
    if (!ranks && !(st = PrepareOverPart(raw, query.rowid_sql, guard))) return std::nullopt;
  }
  std::vector<uint32_t> order;
  StepAll(raw, st.get(), guard, [&] { order.push_back(static_cast<uint32_t>(sqlite3_column_int64(st.get(), 0))); });
  order.shrink_to_fit();
  if (ranks) SortByRanks(order, *ranks, keys.size());
  return order;
}

std::unique_ptr<ResultSet> RunJetQuery(const RewrittenQuery& query, const AttachedTables& data, Env& env,
                                       const QueryControl& control) {
  // SELECT * over one table: the result is the table itself in the
  // query's order, so no row is copied.
  if (auto order = RunJetRowQuery(query, data, env, control))
    return std::make_unique<StoredResult>(data.tables[0], std::move(*order), true);
  RefuseMultiplied(query, data, control);
  Guard guard{env, control, env.SteadyNow() + control.deadline, data};
  MemoryBudget budget(control.memory);
  const SqlitePtr db = OpenEngine(data, env, guard);
  StatementPtr st = Prepare(db.get(), query.sql, guard);
  auto table = StoreResult(db.get(), st.get(), guard, budget);
  return std::make_unique<StoredResult>(std::move(table), std::vector<uint32_t>(), false);
}

std::vector<std::string> PrepareJetQuery(const RewrittenQuery& query, const AttachedTables& data, Env& env) {
  const QueryControl control;
  Guard guard{env, control, env.SteadyNow() + control.deadline, data};
  const MemoryBudget budget(control.memory);
  const SqlitePtr db = OpenEngine(data, env, guard);
  const StatementPtr st = Prepare(db.get(), query.sql, guard);
  std::vector<std::string> columns;
  for (int i = 0; i < sqlite3_column_count(st.get()); ++i) columns.emplace_back(sqlite3_column_name(st.get(), i));
  return columns;
}

}  // namespace tavrin::ado::access
