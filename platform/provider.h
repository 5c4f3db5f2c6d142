#ifndef TAVRIN_PLATFORM_PROVIDER_H_
#define TAVRIN_PLATFORM_PROVIDER_H_

// The seam between the data-access objects (ado.h) and the engines behind
// them. A provider is opened from a connection string and answers queries
// with whole results (static cursors) and runs batches.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ado.h"

namespace tavrin::ado {

// A materialised query result. Immutable; thread-compatible.
class ResultSet {
 public:
  virtual ~ResultSet() = default;
  virtual int64_t RowCount() const = 0;
  virtual const std::vector<std::string>& Columns() const = 0;
  // The value of column `column` (index into Columns()) of row `row`.
  virtual Variant Value(int64_t row, int column) const = 0;
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
};

// The source named in provider errors about a connection string.
inline constexpr const char* kAdoConnectionSource = "ADODB.Connection";

// The "key=value" pairs of a connection string separated by ";", in order:
// keys lower-cased (ASCII), blanks around keys and values removed, a value
// enclosed in double or single quotes loses them (and may then hold ";").
// Parts without "=" are skipped.
std::vector<std::pair<std::string, std::string>> ParseConnectionString(const std::string& text);

// Opens the provider that `connection_string` names (see Connection::Open):
// "Provider=Microsoft.Jet.OLEDB.4.0" or "Microsoft.ACE.OLEDB.12.0" (any
// letter case) with "Data Source=PATH" opens the Access file PATH; any other
// string fails with kAdErrProviderNotFound for now.
// On failure appends diagnostics to *errors and throws _com_error.
std::unique_ptr<Provider> OpenProvider(const std::string& connection_string,
                                       int timeout_seconds, std::vector<ErrorEntry>* errors);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_PROVIDER_H_
