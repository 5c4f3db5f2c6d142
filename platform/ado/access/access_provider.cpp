#include "platform/ado/access/access_provider.h"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_functions.h"
#include "platform/ado/access/jet_rewrite.h"
#include "platform/ado/access/stored_table.h"
#include "platform/ado/access/table_module.h"
#include "platform/ado/access/table_reader.h"
#include "platform/text/ascii.h"

namespace tavrin::ado {
namespace {

using namespace access;

using SqlitePtr = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// Steps `st` to its end, calling `row` for each result row.
template <typename RowFn>
void StepAll(sqlite3* db, sqlite3_stmt* st, RowFn row) {
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row();
  if (rc != SQLITE_DONE) throw QueryError(sqlite3_errmsg(db));
}

// A result of any shape, stored like a table. A column takes the date kind
// when it is a date column of a table, otherwise the kind of each value.
std::shared_ptr<StoredTable> StoreResult(sqlite3* db, sqlite3_stmt* st) {
  auto out = std::make_shared<StoredTable>();
  const int n = sqlite3_column_count(st);
  std::vector<bool> dates;
  for (int i = 0; i < n; ++i) {
    const char* decl = sqlite3_column_decltype(st, i);
    dates.push_back(decl && text::EqualsIgnoreAsciiCase(decl, "DATETIME"));
    out->columns.push_back({sqlite3_column_name(st, i), dates.back() ? Tag::kDate : Tag::kText});
  }
  StepAll(db, st, [&] {
    for (int i = 0; i < n; ++i) {
      switch (sqlite3_column_type(st, i)) {
        case SQLITE_NULL:
          out->AddNull();
          break;
        case SQLITE_INTEGER: {
          const sqlite3_int64 v = sqlite3_column_int64(st, i);
          if (dates[static_cast<size_t>(i)]) out->AddNumber(Tag::kDate, static_cast<double>(v));
          else if (v >= INT32_MIN && v <= INT32_MAX) out->AddNumber(Tag::kLong, static_cast<double>(v));
          else out->AddNumber(Tag::kDouble, static_cast<double>(v));
          break;
        }
        case SQLITE_FLOAT:
          out->AddNumber(dates[static_cast<size_t>(i)] ? Tag::kDate : Tag::kDouble, sqlite3_column_double(st, i));
          break;
        default: {
          const auto* t = static_cast<const char*>(sqlite3_column_blob(st, i));
          out->AddText(std::string_view(t ? t : "", static_cast<size_t>(sqlite3_column_bytes(st, i))));
          break;
        }
      }
    }
    out->EndRow();
  });
  out->Finish();
  return out;
}

class AccessProvider : public Provider {
 public:
  AccessProvider(std::string path, Env& env) : path_(std::move(path)), env_(env) {}
  // Over empty stand-in tables instead of a file.
  AccessProvider(std::vector<TableShape> stand_in, Env& env)
      : env_(env), stand_in_(std::move(stand_in)), is_stand_in_(true) {}

  std::unique_ptr<ResultSet> Query(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    try {
      return RunQuery(sql);
    } catch (const ProviderFailure& f) {
      ThrowAsComError(errors, f);
    } catch (const std::length_error&) {
      ThrowAsComError(errors, {kEOutOfMemory, "The query result is too large.", {}});
    }
  }

  void Execute(const std::string&, std::vector<ErrorEntry>* errors) override {
    ThrowAsComError(errors, {kEFail, "Cannot update.  Database or object is read-only.", {}});
  }

  std::vector<std::string> Prepare(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    try {
      const RewrittenQuery q = Rewrite(sql);
      AttachedTables data;
      for (const auto& name : q.tables) data.tables.push_back(TableColumns(name));
      const SqlitePtr db = OpenEngine(&data);
      const StatementPtr st = Compile(db.get(), q.sql);
      std::vector<std::string> columns;
      for (int i = 0; i < sqlite3_column_count(st.get()); ++i)
        columns.emplace_back(sqlite3_column_name(st.get(), i));
      return columns;
    } catch (const ProviderFailure& f) {
      ThrowAsComError(errors, f);
    }
  }

 private:
  static RewrittenQuery Rewrite(const std::string& jet) {
    try {
      return RewriteJetSql(jet);
    } catch (const JetSqlError& e) {
      throw QueryError(e.what());
    }
  }

  // Table `name` without rows: its columns read from the file, or those of
  // the stand-in of that name.
  std::shared_ptr<StoredTable> TableColumns(const std::string& name) {
    if (!is_stand_in_) return ReadTableColumns(path_, name, env_);
    for (const TableShape& shape : stand_in_) {
      if (!text::EqualsIgnoreAsciiCase(shape.name, name)) continue;
      auto table = std::make_shared<StoredTable>();
      table->name = shape.name;
      for (const auto& column : shape.columns) table->columns.push_back({column, Tag::kText});
      return table;
    }
    throw NoTable(name);
  }

  // An in-memory SQLite database speaking Jet's dialect over `data`, which
  // must outlive it.
  SqlitePtr OpenEngine(AttachedTables* data) {
    sqlite3* raw = nullptr;
    const int open_rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    SqlitePtr db(raw, sqlite3_close);
    if (open_rc != SQLITE_OK) throw ProviderFailure{kEOutOfMemory, "Cannot start the query engine.", {}};
    // A double-quoted name must never pass for text, and "..." literals are
    // rewritten already.
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    if (RegisterJetDialect(raw, env_) != SQLITE_OK) throw ProviderFailure{kEFail, sqlite3_errmsg(raw), {}};
    AttachTables(raw, data);
    return db;
  }

  std::unique_ptr<ResultSet> RunQuery(const std::string& jet) {
    const RewrittenQuery q = Rewrite(jet);
    AttachedTables data;
    for (const auto& name : q.tables)
      data.tables.push_back(is_stand_in_ ? TableColumns(name) : ReadTable(path_, name, env_));
    const SqlitePtr db = OpenEngine(&data);
    sqlite3* raw = db.get();

    // SELECT * over one table: the result is the table itself in the
    // query's order, so no row is copied.
    if (!q.rowid_sql.empty() && data.tables.size() == 1 && !HasColumn(*data.tables[0], "_rowid_")) {
      StatementPtr st = Compile(raw, q.rowid_sql);
      std::vector<uint32_t> order;
      StepAll(raw, st.get(), [&] { order.push_back(static_cast<uint32_t>(sqlite3_column_int64(st.get(), 0))); });
      order.shrink_to_fit();
      return std::make_unique<StoredResult>(data.tables[0], std::move(order), true);
    }
    StatementPtr st = Compile(raw, q.sql);
    auto table = StoreResult(raw, st.get());
    return std::make_unique<StoredResult>(std::move(table), std::vector<uint32_t>(), false);
  }

  static bool HasColumn(const StoredTable& t, const char* name) {
    for (const auto& c : t.columns)
      if (text::EqualsIgnoreAsciiCase(c.name, name)) return true;
    return false;
  }

  static StatementPtr Compile(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, &tail);
    StatementPtr out(st, sqlite3_finalize);
    if (rc != SQLITE_OK) throw QueryError(sqlite3_errmsg(db));
    if (!out) throw QueryError("The query is empty.");
    // One statement only: a second one would otherwise be ignored unseen.
    while (tail && (*tail == ' ' || *tail == ';')) ++tail;
    if (tail && *tail) throw QueryError("Characters found after end of SQL statement.");
    if (!sqlite3_stmt_readonly(st)) throw ProviderFailure{kEFail, "Cannot update.  Database or object is read-only.", {}};
    return out;
  }

  std::string path_;
  Env& env_;
  std::vector<TableShape> stand_in_;
  bool is_stand_in_ = false;
};

}  // namespace

bool IsAccessProviderName(const std::string& name) {
  return text::EqualsIgnoreAsciiCase(name, "Microsoft.Jet.OLEDB.4.0") ||
         text::StartsWithIgnoreAsciiCase(name, "Microsoft.ACE.OLEDB.");
}

std::unique_ptr<Provider> OpenAccessProvider(const std::string& path, Env& env,
                                             std::vector<ErrorEntry>* errors) {
  try {
    CheckCatalog(path, env);
  } catch (const ProviderFailure& f) {
    ThrowAsComError(errors, f);
  }
  return std::make_unique<AccessProvider>(path, env);
}

std::unique_ptr<Provider> OpenAccessStandIn(std::vector<TableShape> tables, Env& env) {
  return std::make_unique<AccessProvider>(std::move(tables), env);
}

}  // namespace tavrin::ado
