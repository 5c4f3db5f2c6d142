#ifndef TAVRIN_PLATFORM_ADO_ACCESS_FAILURE_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_FAILURE_H_

// How the Access provider fails, with the texts of its errors.

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/ado/com_error.h"

namespace tavrin::ado::access {

// The one exception the provider throws inside itself, for every failure
// (a damaged file, a broken stream from a reader child, an error in a
// query's text). The provider's public operations turn it into error
// entries and a _com_error. what() is the description.
class ProviderFailure : public std::exception {
 public:
  ProviderFailure(HRESULT hr_in, std::string description_in, std::vector<std::string> warnings_in = {},
                  bool retry_in = false)
      : hr(hr_in), description(std::move(description_in)), warnings(std::move(warnings_in)), retry(retry_in) {}
  const char* what() const noexcept override { return description.c_str(); }

  HRESULT hr;
  std::string description;
  std::vector<std::string> warnings;  // what libmdb printed meanwhile
  bool retry = false;                 // the file may have been changing: try once more
};

// Appends the failure's entries (libmdb's warnings first) to *errors and
// throws it as a _com_error of the Jet engine.
[[noreturn]] void ThrowAsComError(std::vector<ErrorEntry>* errors, const ProviderFailure& f);

// "Could not find file '<path>'."
std::string NotFoundText(const std::string& path);
// "Unrecognized database format '<path>'."
std::string BadFormatText(const std::string& path);

// A table that cannot be read completely; worth one more try.
ProviderFailure Damaged(const std::string& table, const std::string& what,
                        std::vector<std::string> warnings = {});
// The file at `path` changed while it was being read: a result of two of
// its versions (kDbConcurrencyViolation). Worth one more try.
ProviderFailure Changed(const std::string& path);
// A table that the file does not have.
ProviderFailure NoTable(const std::string& name);
// An error in the query text.
ProviderFailure QueryError(const std::string& message);
// The operation ended because the caller asked it to stop (kEAbort).
ProviderFailure Stopped();

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_FAILURE_H_
