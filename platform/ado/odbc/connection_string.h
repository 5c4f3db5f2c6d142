#ifndef TAVRIN_PLATFORM_ADO_ODBC_CONNECTION_STRING_H_
#define TAVRIN_PLATFORM_ADO_ODBC_CONNECTION_STRING_H_

// Connection strings for SQL Server over ODBC. A string in the OLE DB style
// of Windows ("Provider=SQLOLEDB;Data Source=host,port;Initial
// Catalog=db;User ID=u;Password=p") is translated into the keywords of the
// ODBC driver that will take it; an ODBC string ("Driver=...;Server=...")
// is used as written, with the TDS version added for FreeTDS. Pure
// functions: the driver look-ups are the provider's.

#include <optional>
#include <string>
#include <vector>

#include "platform/ado/com_error.h"

namespace tavrin::ado::odbc {

// The ODBC driver an OLE DB string is translated for.
struct SqlServerDriver {
  enum Kind { kFreeTds, kMicrosoft };
  Kind kind = kFreeTds;
  std::string name = "FreeTDS";  // as registered with the driver manager
};

// What SQLDriverConnect is given, and the waits that are attributes rather
// than keywords.
struct OdbcConnection {
  std::string connection_string;
  std::optional<int> login_timeout;  // seconds, from Connect Timeout
  std::optional<int> query_timeout;  // seconds, from General Timeout
  // Keywords that were dropped or read differently, one sentence each.
  std::vector<std::string> warnings;
  // Set when the string cannot be used: the failure code and its reason.
  HRESULT error = 0;
  std::string error_text;
};

// True when `text` is an OLE DB string: it has a Provider keyword and no
// Driver, DSN or FILEDSN (braces read as ODBC reads them).
bool IsOleDbString(const std::string& text);

// Translates an OLE DB string for `driver`. The providers SQLOLEDB,
// SQLNCLI and MSOLEDBSQL (with any suffix) are taken; any other provider,
// named pipes, shared memory, LocalDB and other network libraries are
// errors. For FreeTDS "TDS_Version=7.4;ClientCharset=UTF-8" are always
// added.
OdbcConnection TranslateOleDb(const std::string& text, const SqlServerDriver& driver);

// An ODBC string as written, "TDS_Version=7.4" appended when `freetds` and
// the string sets no TDS_Version.
OdbcConnection PassThrough(const std::string& text, bool freetds);

// The value of `keyword` (ASCII case ignored) in an ODBC string, braces
// removed; empty when absent.
std::string OdbcValue(const std::string& text, const std::string& keyword);

// The driver of the registered names `drivers` that an OLE DB string is
// translated for: FreeTDS when it is registered, else the newest "ODBC
// Driver N for SQL Server", else FreeTDS by name.
SqlServerDriver ChooseSqlServerDriver(const std::vector<std::string>& drivers);

// True when `library` (a driver's file, as a path or a bare name) is
// FreeTDS's ODBC driver.
bool IsFreeTdsLibrary(const std::string& library);

}  // namespace tavrin::ado::odbc

#endif  // TAVRIN_PLATFORM_ADO_ODBC_CONNECTION_STRING_H_
