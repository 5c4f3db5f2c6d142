#ifndef TAVRIN_PLATFORM_ADO_COM_ERROR_H_
#define TAVRIN_PLATFORM_ADO_COM_ERROR_H_

#include <cstdint>
#include <optional>
#include <string>

namespace tavrin {

using HRESULT = int32_t;

constexpr HRESULT kEFail = static_cast<HRESULT>(0x80004005);      // "Unspecified error"
constexpr HRESULT kEPointer = static_cast<HRESULT>(0x80004003);   // "Invalid pointer"
constexpr HRESULT kEAbort = static_cast<HRESULT>(0x80004004);     // "Operation aborted"
constexpr HRESULT kEInvalidArg = static_cast<HRESULT>(0x80070057);
constexpr HRESULT kEOutOfMemory = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT kENotImpl = static_cast<HRESULT>(0x80004001);  // "Not implemented"
// ADO: "Either BOF or EOF is True, or the current record has been deleted..."
constexpr HRESULT kAdErrNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);
// ADO: "Item cannot be found in the collection corresponding to the requested name or ordinal."
constexpr HRESULT kAdErrItemNotFound = static_cast<HRESULT>(0x800A0CC1);
// ADO: "Operation is not allowed when the object is closed."
constexpr HRESULT kAdErrObjectClosed = static_cast<HRESULT>(0x800A0E78);
// OLE DB: errors in the command text (syntax, unknown column or table).
constexpr HRESULT kDbErrorsInCommand = static_cast<HRESULT>(0x80040E14);
// OLE DB: the data changed since it was read; a result that read two
// versions of its source fails with it, and so does nothing else.
constexpr HRESULT kDbConcurrencyViolation = static_cast<HRESULT>(0x80040E38);
// OLE DB: the provider could not open the data source.
constexpr HRESULT kDbAuthFailed = static_cast<HRESULT>(0x80004005);

// The COM error exception of the database layer: a failure code with the
// system's message for it, and the source and description that the failing
// object supplied (either may be missing). Copyable; thread-compatible.
class _com_error {
 public:
  explicit _com_error(HRESULT hr, std::optional<std::string> source = std::nullopt,
                      std::optional<std::string> description = std::nullopt)
      : hr_(hr), source_(std::move(source)), description_(std::move(description)) {}

  HRESULT Error() const { return hr_; }

  // The system message for the code without its final line end; for codes
  // without one, "IDispatch error #%d" (interface facility, low word 0x0200
  // or more, numbered from 0x0200) or "Unknown error 0x%0lX".
  std::string ErrorMessage() const;

  const std::optional<std::string>& Source() const { return source_; }
  const std::optional<std::string>& Description() const { return description_; }

 private:
  HRESULT hr_;
  std::optional<std::string> source_;
  std::optional<std::string> description_;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_ADO_COM_ERROR_H_
