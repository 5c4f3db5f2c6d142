#ifndef TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_PROVIDER_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_PROVIDER_H_

// The provider over Access (.mdb, .accdb) files. The file is read with libmdb
// and never written. Each query reads the tables its text names afresh (see
// table_reader.h), so an editor's changes show at the next query; SQLite
// evaluates the query, in Jet's dialect (jet_rewrite.h, jet_functions.h),
// over those tables in place (table_module.h), and the result is kept whole.
// Damaged files fail the query with the reason in the error entries;
// libmdb's warnings never reach standard error.
//
// Errors (number, source "Microsoft JET Database Engine", description):
//   0x80004005 "Could not find file '<path>'."
//   0x80004005 "Unrecognized database format '<path>'."
//   0x80040E37 "The Microsoft Jet database engine cannot find the input table
//              or query '<name>'. ..."
//   0x80040E14 errors in the query text (syntax, unknown column or function)
//   0x80004005 a damaged table.

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/provider.h"
#include "platform/env/env.h"

namespace tavrin::ado {

inline constexpr const char* kJetSource = "Microsoft JET Database Engine";
// OLE DB: the table or view does not exist.
constexpr HRESULT kDbNoTable = static_cast<HRESULT>(0x80040E37);

// True for the provider names of connection strings that name an Access
// file: "Microsoft.Jet.OLEDB.4.0" and "Microsoft.ACE.OLEDB.*", any case.
bool IsAccessProviderName(const std::string& name);

// Opens the Access file at `path` after checking that it is one. `env` (the
// clock of Date() and Now(), the pause before a retry) must outlive the
// provider. On failure appends the diagnostics to *errors and throws
// _com_error. The provider may be used by one thread at a time; any number
// may exist at once.
std::unique_ptr<Provider> OpenAccessProvider(const std::string& path, Env& env,
                                             std::vector<ErrorEntry>* errors);

// A provider over no file in which `tables` exist with their (text) columns
// and no rows: queries are prepared and run in the same dialect. For
// checking a query when the file cannot be opened. `env` as above.
std::unique_ptr<Provider> OpenAccessStandIn(std::vector<TableShape> tables, Env& env);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_PROVIDER_H_
