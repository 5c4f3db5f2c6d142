#ifndef TAVRIN_PLATFORM_ADO_PROVIDER_H_
#define TAVRIN_PLATFORM_ADO_PROVIDER_H_

// The seam between the data-access objects (ado.h) and the engines behind
// them. A provider is opened from a connection string and answers queries
// with whole results (static cursors) and runs batches.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ado/ado.h"

namespace tavrin::ado {

// A query result: materialised, or read as the cursor reaches its rows
// (Fetch). Reading a row may change the result (one that reads as it goes
// holds the rows it read), so Value, ReadRow and Fetch are not const.
// Thread-compatible.
class ResultSet {
 public:
  virtual ~ResultSet() = default;
  virtual int64_t RowCount() const = 0;
  virtual const std::vector<std::string>& Columns() const = 0;
  // The value of column `column` (index into Columns()) of row `row`.
  virtual Variant Value(int64_t row, int column) = 0;
  // Every cell of row `row` (in range), in column order, into `cells`
  // (resized to Columns().size()). A result that keeps its text may give
  // text cells as views valid as long as the result; this default gives
  // every cell as Value does.
  virtual void ReadRow(int64_t row, std::vector<CellView>& cells);
  // Makes row `row` (in range) ready for Value and ReadRow: a result that
  // reads its rows as the cursor reaches them reads it here, and may then
  // give up the views of the rows before. On failure appends the provider's
  // diagnostics to *errors and throws _com_error. This default has every
  // row ready.
  virtual void Fetch(int64_t /*row*/, std::vector<ErrorEntry>* /*errors*/) {}
  // Tells the result, before its first Fetch, that its caller reads only
  // the columns that `read` marks (a flag per column of Columns()): a
  // result that reads its rows as the cursor reaches them may leave the
  // others unread and give them as Null. This default reads every column.
  virtual void LimitColumns(const std::vector<bool>& /*read*/) {}
};

class Provider {
 public:
  virtual ~Provider() = default;
  // Runs `sql` and returns its whole result. On failure appends the
  // provider's diagnostics to *errors and throws _com_error.
  virtual std::unique_ptr<ResultSet> Query(const std::string& sql,
                                           std::vector<ErrorEntry>* errors) = 0;
  // Runs `sql` as one batch and discards any result; failures as Query.
  virtual void Execute(const std::string& sql, std::vector<ErrorEntry>* errors) = 0;
  // Opens the table `table` (a Recordset opened with adCmdTable); failures
  // as Query. Unless a provider knows better, all its rows.
  virtual std::unique_ptr<ResultSet> OpenTable(const std::string& table,
                                               std::vector<ErrorEntry>* errors) {
    return Query("SELECT * FROM [" + table + "]", errors);
  }
  // True once the link to the data source is lost for good.
  virtual bool IsConnectionDead() const { return false; }
  // Called from another thread while this one may be in an operation: ends
  // the operation under way soon with kEAbort, and every later one at once.
  // This default does nothing, for providers whose operations ask their
  // CancelCheck often enough.
  virtual void Cancel() {}
  // Compiles `sql` as Query would, without reading a row (of the tables it
  // names only their columns are read), and returns the names of its
  // result's columns. Failures as Query; a provider that cannot prepare
  // fails with E_NOTIMPL, which this default does.
  virtual std::vector<std::string> Prepare(const std::string& sql,
                                           std::vector<ErrorEntry>* errors);
};

// A table by its column names, for a stand-in data source.
struct TableShape {
  std::string name;
  std::vector<std::string> columns;
};

// Opens providers from connection strings. The program has one, made at
// start-up with the engines it is built with; tests use fakes or a single
// engine. Implementations are thread-safe.
class ProviderFactory {
 public:
  virtual ~ProviderFactory() = default;
  // Opens the data source that `connection_string` names, waiting at most
  // `timeout_seconds` (0: forever) where the engine waits at all. The
  // provider asks `cancelled` during the open and its later operations
  // where they may take long, and ends them with kEAbort once it is true.
  // On failure appends the provider's diagnostics to *errors and throws
  // _com_error.
  virtual std::unique_ptr<Provider> Open(const std::string& connection_string,
                                         int timeout_seconds, const CancelCheck& cancelled,
                                         std::vector<ErrorEntry>* errors) = 0;

  // A provider of the engine that Open would choose for
  // `connection_string`, over empty `tables` instead of the data source:
  // for preparing queries when the source itself cannot be opened. Fails as
  // Open does for a string that no provider takes; this default fails so
  // for every string.
  virtual std::unique_ptr<Provider> OpenStandIn(const std::string& connection_string,
                                                std::vector<TableShape> tables,
                                                std::vector<ErrorEntry>* errors);

  // Without opening anything: empty when Open would try to open the data
  // source that `connection_string` names, otherwise why it would fail at
  // once (no provider takes the string, or it cannot be translated for the
  // engine). This default takes every string.
  virtual std::string ConnectionStringProblem(const std::string& connection_string);
};

// The source named in provider errors about a connection string.
inline constexpr const char* kAdoConnectionSource = "ADODB.Connection";

// How the values of a connection string are read. A value runs to the next
// ";" unless it opens with a quote or brace that lets it hold one: OLE DB
// quotes values ("..." or '...'), ODBC braces them ({...}, read as FreeTDS's
// driver reads it).
enum class ValueSyntax {
  kOleDb,
  kOdbc,
  // Whichever reading ends the value later: quotes as OLE DB reads them,
  // braces as either FreeTDS's or Microsoft's driver does. For a mask that
  // must cover a value however the string is taken.
  kAny,
};

// One "key=value" part of a connection string: its key, ASCII lower-cased
// with blanks around it removed, and where its value lies in the text (from
// its first non-blank character to the end that `ValueSyntax` gives, quotes
// or braces included).
struct ConnectionStringPart {
  std::string key;
  size_t value_begin = 0;
  size_t value_end = 0;
};

// The "key=value" parts of a connection string separated by ";", in order;
// parts without "=" are skipped. What follows a quoted or braced value up to
// the next ";" belongs to no part.
std::vector<ConnectionStringPart> ScanConnectionString(std::string_view text, ValueSyntax syntax);

// The "key=value" pairs of an OLE DB connection string, in order: keys as
// ScanConnectionString gives them, blanks around values removed, a value
// enclosed in double or single quotes loses them (and may then hold ";").
std::vector<std::pair<std::string, std::string>> ParseConnectionString(const std::string& text);

// `text` with the value of every Password and PWD keyword replaced by "***",
// in both string styles (OLE DB and ODBC, quotes and braces included): what
// may be shown or logged.
std::string MaskPasswords(const std::string& text);

// The description of the error of a connection string that no provider takes.
inline constexpr const char* kProviderNotFoundText =
    "Provider cannot be found. It may not be properly installed.";

// Throws the error of a connection string that no provider takes
// (kAdErrProviderNotFound), after appending it to *errors.
[[noreturn]] void ThrowProviderNotFound(std::vector<ErrorEntry>* errors);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_PROVIDER_H_
