#ifndef TAVRIN_PLATFORM_ADO_ACCESS_TABLE_MODULE_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_TABLE_MODULE_H_

// Stored tables as SQLite virtual tables, read in place: a query over them
// copies no row. Text columns declare the Jet collation, date columns the
// type DATETIME (their values are linear day numbers).

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/access/stored_table.h"

struct sqlite3;

namespace tavrin::ado::access {

// The tables one query reads.
struct AttachedTables {
  std::vector<std::shared_ptr<StoredTable>> tables;
};

// Makes each of `tables` a virtual table of `db` under its own name. The
// tables must outlive `db` and stay unchanged. Throws ProviderFailure.
void AttachTables(sqlite3* db, const AttachedTables* tables);

// `name` as an SQL identifier in double quotes.
std::string QuotedName(const std::string& name);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_TABLE_MODULE_H_
