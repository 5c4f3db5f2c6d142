#ifndef TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_PROVIDER_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_PROVIDER_H_

// The provider over Access (.mdb, .accdb) files. The file is read with libmdb
// in a sandboxed child process and never written. Each query reads the
// tables its text names afresh (reader_process.h), so an editor's changes
// show at the next query; SQLite evaluates the query, held to Jet's dialect
// (jet_query.h), over those tables in place (table_module.h). A query of the
// form "SELECT * FROM <table> [WHERE ...] [ORDER BY ...]" reads of the table
// only the columns its text names, and the rows it chooses are read again
// whole as the cursor reaches them (fetched_result.h); any other result is
// kept whole. Damaged files fail the query with the reason in the error
// entries; libmdb's warnings never reach standard output or error.
//
// Errors (number, source "Microsoft JET Database Engine", description):
//   0x80004005 "Could not find file '<path>'."
//   0x80004005 "Unrecognized database format '<path>'."
//   0x80040E37 "The Microsoft Jet database engine cannot find the input table
//              or query '<name>'. ..."
//   0x80040E14 errors in the query text (syntax, unknown column or function)
//   0x80004005 a damaged table, or a file the reader could not read whole
//   0x80040E38 "The database file '<path>' was changed while it was being
//              read.": a query, or the move to a row of its result, that
//              would give rows of two versions of the file (written in
//              place meanwhile; a file replaced by a rename is read whole
//              in its old version). A query's reading is tried once more.
//   0x80040E31 a query that ran past its deadline
//   0x80004004 an operation stopped because `cancelled` said so.

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/access/jet_query.h"
#include "platform/ado/access/reader_process.h"
#include "platform/ado/provider.h"
#include "platform/env/env.h"

namespace tavrin::ado {

inline constexpr const char* kJetSource = "Microsoft JET Database Engine";
// OLE DB: the table or view does not exist.
constexpr HRESULT kDbNoTable = static_cast<HRESULT>(0x80040E37);

// True for the provider names of connection strings that name an Access
// file: "Microsoft.Jet.OLEDB.4.0" and "Microsoft.ACE.OLEDB.*", any case.
bool IsAccessProviderName(const std::string& name);

// How the provider reads and queries; tests shorten the waits and set the
// reader's test hooks.
struct AccessOptions {
  access::ReaderOptions reader;
  std::chrono::milliseconds query_deadline = access::kQueryDeadline;
};

// Opens the Access file at `path` after checking that it is one and reading
// its list of tables. `env` (the clock of Date() and Now() and of the
// deadlines, the pause before a retry) must outlive the provider;
// `cancelled` is asked during the open and every query. On failure appends
// the diagnostics to *errors and throws _com_error. The provider may be used
// by one thread at a time; any number may exist at once.
std::unique_ptr<Provider> OpenAccessProvider(const std::string& path, Env& env, CancelCheck cancelled,
                                             std::vector<ErrorEntry>* errors,
                                             const AccessOptions& options = {});

// A provider over no file in which `tables` exist with their (text) columns
// and no rows: queries are prepared and run in the same dialect. For
// checking a query when the file cannot be opened. `env` as above.
std::unique_ptr<Provider> OpenAccessStandIn(std::vector<TableShape> tables, Env& env);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_PROVIDER_H_
