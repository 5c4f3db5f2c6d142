#ifndef TAVRIN_PLATFORM_ACCESS_PROVIDER_H_
#define TAVRIN_PLATFORM_ACCESS_PROVIDER_H_

// The provider over Access (.mdb, .accdb) files. The file is read with libmdb
// and never written. Each query reads the tables its text names afresh, so an
// editor's changes show at the next query; SQLite evaluates the query (in
// Jet's dialect, see jet_sql.h) over those tables, and the result is kept
// whole.
//
// Damage is reported, never hidden: a table that yields fewer rows than its
// definition counts, a value that points outside the file, or any warning
// libmdb prints fails the query (after one retry, as the file may have been
// changing under its editor). libmdb's warnings never reach standard error;
// they become the query's error entries.
//
// Errors (number, source "Microsoft JET Database Engine", description):
//   0x80004005 "Could not find file '<path>'."
//   0x80004005 "Unrecognized database format '<path>'."
//   0x80040E37 "The Microsoft Jet database engine cannot find the input table
//              or query '<name>'. ..."
//   0x80040E14 errors in the query text (syntax, unknown column or function)
//   0x80004005 a damaged table.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/provider.h"

namespace tavrin::ado {

inline constexpr const char* kJetSource = "Microsoft JET Database Engine";
// OLE DB: the table or view does not exist.
constexpr HRESULT kDbNoTable = static_cast<HRESULT>(0x80040E37);

// Opens the Access file at `path` after checking that it is one. On failure
// appends the diagnostics to *errors and throws _com_error. The provider may
// be used by one thread at a time; any number may exist at once.
std::unique_ptr<Provider> OpenAccessProvider(const std::string& path,
                                             std::vector<ErrorEntry>* errors);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ACCESS_PROVIDER_H_
