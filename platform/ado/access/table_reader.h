#ifndef TAVRIN_PLATFORM_ADO_ACCESS_TABLE_READER_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_TABLE_READER_H_

// Reading an Access file with libmdb, after the checks of file_check.h.
//
// Damage is reported, never hidden: a table that yields fewer rows than its
// definition counts, a value that points outside the file, or any warning
// libmdb prints is a failure (after one retry, as the file may have been
// changing under its editor); libmdb's warnings become its entries.

#include <memory>
#include <string>

#include "platform/ado/access/stored_table.h"
#include "platform/env/env.h"

namespace tavrin::ado::access {

// Opens the file at `path` and reads its list of tables, so that a file that
// is not an Access file fails here. Throws ProviderFailure. `env` gives the
// pause before the retry.
void CheckCatalog(const std::string& path, Env& env);

// Reads the table `name` (letter case ignored) of the file at `path` whole:
// every row, every column decoded (text as UTF-8, dates on the linear day
// scale). Throws ProviderFailure.
std::shared_ptr<StoredTable> ReadTable(const std::string& path, const std::string& name, Env& env);

// The columns of table `name`, as ReadTable finds them, in a table without
// rows: no row is read. Throws ProviderFailure.
std::shared_ptr<StoredTable> ReadTableColumns(const std::string& path, const std::string& name,
                                              Env& env);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_TABLE_READER_H_
