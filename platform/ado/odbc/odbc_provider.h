#ifndef TAVRIN_PLATFORM_ADO_ODBC_ODBC_PROVIDER_H_
#define TAVRIN_PLATFORM_ADO_ODBC_ODBC_PROVIDER_H_

// The provider over SQL Server through unixODBC: FreeTDS's driver, or
// Microsoft's where it is installed. The connection string is taken as
// connection_string.h says (OLE DB strings translated, ODBC strings as
// written). The wide API carries text as UTF-16, so any text arrives byte
// for byte. Waits are always bounded: the login by the connection's time-out
// (or Connect Timeout), each batch by 30 seconds (or General Timeout).
//
// Every diagnostic record of a failed operation becomes an error entry
// (number: the native error, for server errors the server's error number;
// description: the driver's message), in the order the driver gives them;
// FreeTDS sorts them by severity, so match on numbers, not places. After a
// successful open the entries hold the translation's warnings (flagged).
//
// Failures throw _com_error with source kOdbcSource and the first record's
// message as description:
//   0x80004005 the connection could not be opened (the description also
//              names the connection string, passwords masked), or a string
//              that cannot be translated; 0x800A0E7A a provider that is not
//              SQL Server's;
//   0x80040E14 a batch the server rejected;
//   0x80040E31 a batch that ran out of time;
//   0x80004005 a batch on a connection that died (IsConnectionDead() is
//              true from then on);
//   0x80004004 a batch that Cancel ended, and every batch after Cancel.
//
// Cancel may come from any thread: the batch under way is cancelled with
// SQLCancel, which FreeTDS sends to the server at once, and ends when the
// server acknowledges it.

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/provider.h"

namespace tavrin::ado {

inline constexpr const char* kOdbcSource = "unixODBC";
// OLE DB: the command ran longer than its time-out.
constexpr HRESULT kDbQueryTimeout = static_cast<HRESULT>(0x80040E31);

// The seconds a batch may take unless the string says otherwise.
inline constexpr int kDefaultCommandTimeout = 30;

// Opens the SQL Server connection that `connection_string` describes,
// waiting at most `login_timeout_seconds` for the login (0: no limit) unless
// the string sets Connect Timeout. On failure appends the diagnostics (after
// the warnings) to *errors and throws _com_error. The provider is used by
// one thread at a time, except for Cancel.
std::unique_ptr<Provider> OpenOdbcProvider(const std::string& connection_string,
                                           int login_timeout_seconds,
                                           std::vector<ErrorEntry>* errors);

// Without connecting: why OpenOdbcProvider would fail at once for
// `connection_string` (it cannot be translated, or names no driver or data
// source), passwords masked; empty when it would try to connect.
std::string OdbcConnectionStringProblem(const std::string& connection_string);

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_ODBC_ODBC_PROVIDER_H_
