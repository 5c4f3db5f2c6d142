#include "platform/ado/access/table_module.h"

#include <sqlite3.h>

#include <cstdlib>
#include <memory>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_collation.h"

namespace tavrin::ado::access {
namespace {

struct VTab : sqlite3_vtab {
  const StoredTable* table = nullptr;
};

struct VCursor : sqlite3_vtab_cursor {
  size_t row = 0;
};

int VConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
  auto* data = static_cast<const AttachedTables*>(aux);
  if (argc < 4) return SQLITE_ERROR;
  const size_t index = std::strtoul(argv[3], nullptr, 10);
  if (index >= data->tables.size()) return SQLITE_ERROR;
  const StoredTable& t = *data->tables[index];
  std::string ddl = "CREATE TABLE x(";
  for (size_t i = 0; i < t.columns.size(); ++i) {
    if (i) ddl += ", ";
    ddl += QuotedName(t.columns[i].name);
    switch (t.columns[i].declared) {
      case Tag::kText: ddl += std::string(" TEXT COLLATE ") + kJetCollation; break;
      case Tag::kLong: ddl += " INTEGER"; break;
      case Tag::kDate: ddl += " DATETIME"; break;
      default: ddl += " REAL"; break;
    }
  }
  ddl += ")";
  const int rc = sqlite3_declare_vtab(db, ddl.c_str());
  if (rc != SQLITE_OK) {
    *err = sqlite3_mprintf("%s", sqlite3_errmsg(db));
    return rc;
  }
  auto vtab = std::make_unique<VTab>();
  vtab->table = &t;
  *out = vtab.release();
  return SQLITE_OK;
}

int VDisconnect(sqlite3_vtab* vtab) {
  const std::unique_ptr<VTab> owned(static_cast<VTab*>(vtab));
  return SQLITE_OK;
}

int VBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
  const auto rows = static_cast<double>(static_cast<VTab*>(vtab)->table->rows());
  info->estimatedCost = rows + 1;
  info->estimatedRows = static_cast<sqlite3_int64>(rows);
  return SQLITE_OK;
}

int VOpen(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  *out = std::make_unique<VCursor>().release();
  return SQLITE_OK;
}

int VClose(sqlite3_vtab_cursor* cursor) {
  const std::unique_ptr<VCursor> owned(static_cast<VCursor*>(cursor));
  return SQLITE_OK;
}

int VFilter(sqlite3_vtab_cursor* cursor, int, const char*, int, sqlite3_value**) {
  static_cast<VCursor*>(cursor)->row = 0;
  return SQLITE_OK;
}

int VNext(sqlite3_vtab_cursor* cursor) {
  ++static_cast<VCursor*>(cursor)->row;
  return SQLITE_OK;
}

int VEof(sqlite3_vtab_cursor* cursor) {
  auto* c = static_cast<VCursor*>(cursor);
  return c->row >= static_cast<VTab*>(c->pVtab)->table->rows();
}

int VColumn(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int i) {
  auto* c = static_cast<VCursor*>(cursor);
  const StoredTable& table = *static_cast<VTab*>(c->pVtab)->table;
  // The query's authorizer refuses such reads; this is the last guard.
  if (!table.columns[static_cast<size_t>(i)].loaded) {
    sqlite3_result_error(ctx, "a column of a table read in part", -1);
    return SQLITE_ERROR;
  }
  const StoredTable::Cell cell = table.Get(c->row, static_cast<size_t>(i));
  switch (cell.tag) {
    case Tag::kText:
      // The table outlives the statement, so SQLite may use the bytes in place.
      sqlite3_result_text(ctx, cell.text.data(), static_cast<int>(cell.text.size()), SQLITE_STATIC);
      break;
    case Tag::kLong:
      sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(cell.number));
      break;
    case Tag::kDouble:
    case Tag::kDate:
      sqlite3_result_double(ctx, cell.number);
      break;
    case Tag::kNull:
      sqlite3_result_null(ctx);
      break;
  }
  return SQLITE_OK;
}

int VRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
  *rowid = static_cast<sqlite3_int64>(static_cast<VCursor*>(cursor)->row);
  return SQLITE_OK;
}

sqlite3_module MakeModule() {
  sqlite3_module m{};
  m.xCreate = VConnect;
  m.xConnect = VConnect;
  m.xBestIndex = VBestIndex;
  m.xDisconnect = VDisconnect;
  m.xDestroy = VDisconnect;
  m.xOpen = VOpen;
  m.xClose = VClose;
  m.xFilter = VFilter;
  m.xNext = VNext;
  m.xEof = VEof;
  m.xColumn = VColumn;
  m.xRowid = VRowid;
  return m;
}

const sqlite3_module kTableModule = MakeModule();

}  // namespace

std::string QuotedName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  return out + "\"";
}

void AttachTables(sqlite3* db, const AttachedTables* tables) {
  if (sqlite3_create_module_v2(db, "jet_table", &kTableModule, const_cast<AttachedTables*>(tables),
                               nullptr) != SQLITE_OK)
    throw ProviderFailure{kEFail, sqlite3_errmsg(db), {}};
  for (size_t i = 0; i < tables->tables.size(); ++i) {
    const std::string ddl = "CREATE VIRTUAL TABLE " + QuotedName(tables->tables[i]->name) +
                            " USING jet_table(" + std::to_string(i) + ")";
    char* err = nullptr;
    if (sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      const std::string message = err ? err : sqlite3_errmsg(db);
      sqlite3_free(err);
      throw QueryError(message);
    }
  }
}

}  // namespace tavrin::ado::access
