#include "platform/ado/odbc/odbc_provider.h"

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/ado/odbc/connection_string.h"
#include "platform/ado/oledate.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin::ado {
namespace {

using WideString = std::basic_string<SQLWCHAR>;

constexpr const char* kCancelledText = "The batch was cancelled on request.";
// How often and how far apart Cancel asks the driver: for 1.5 seconds.
constexpr int kCancelTries = 30;
constexpr std::chrono::milliseconds kCancelInterval{50};
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the wide ODBC API takes UTF-16");

WideString ToWide(const std::string& s) {
  const std::u16string w = text::Utf8ToUtf16(s);
  return WideString(w.begin(), w.end());
}

std::string ToUtf8(const SQLWCHAR* s, size_t n) {
  return text::Utf16ToUtf8(std::u16string(s, s + n));
}

// An ODBC handle, freed with its object.
class Handle {
 public:
  Handle() = default;
  Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(type, parent, &h_))) h_ = SQL_NULL_HANDLE;
  }
  ~Handle() {
    if (h_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, h_);
  }
  Handle(Handle&& o) noexcept : type_(o.type_), h_(std::exchange(o.h_, nullptr)) {}
  Handle& operator=(Handle&&) = delete;
  SQLHANDLE get() const { return h_; }
  SQLSMALLINT type() const { return type_; }
  explicit operator bool() const { return h_ != SQL_NULL_HANDLE; }

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE h_ = SQL_NULL_HANDLE;
};

// One diagnostic record with its SQLSTATE.
struct Diagnostic {
  std::string state;
  ErrorEntry entry;
};

void AppendDiagnostics(const Handle& h, std::vector<Diagnostic>* out) {
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    WideString message(512, 0);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(h.type(), h.get(), i, state, &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
      message.assign(static_cast<size_t>(length) + 1, 0);
      rc = SQLGetDiagRecW(h.type(), h.get(), i, state, &native, message.data(),
                          static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    const size_t n = std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), message.size());
    out->push_back({ToUtf8(state, 5), {native, ToUtf8(message.data(), n)}});
  }
}

[[noreturn]] void Fail(HRESULT hr, const std::string& description,
                       const std::vector<Diagnostic>& diagnostics, std::vector<ErrorEntry>* errors) {
  for (const Diagnostic& d : diagnostics) errors->push_back(d.entry);
  throw _com_error(hr, std::string(kOdbcSource), description);
}

std::string FirstMessage(const std::vector<Diagnostic>& diagnostics, const char* otherwise) {
  for (const Diagnostic& d : diagnostics)
    if (!d.entry.warning) return d.entry.description;
  return otherwise;
}

// A value of the ODBC set-up files (odbc.ini or odbcinst.ini); "" when absent.
std::string SetupValue(const std::string& section, const char* key, const char* file) {
  char buf[1024] = "";
  const int n = SQLGetPrivateProfileString(section.c_str(), key, "", buf, sizeof buf, file);
  return n > 0 ? std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1)) : "";
}

std::vector<std::string> RegisteredDrivers() {
  char buf[8192] = "";
  WORD used = 0;
  std::vector<std::string> names;
  if (!SQLGetInstalledDrivers(buf, sizeof buf - 1, &used)) return names;
  for (const char* p = buf; *p && p < buf + sizeof buf; p += names.back().size() + 1)
    names.emplace_back(p);
  return names;
}

// Whether an ODBC string reaches FreeTDS: by its Driver (a name, the
// registered library of a name, or a path) or the Driver of its DSN.
bool ReachesFreeTds(const std::string& connection_string) {
  std::string driver = odbc::OdbcValue(connection_string, "driver");
  if (driver.empty()) {
    const std::string dsn = odbc::OdbcValue(connection_string, "dsn");
    if (dsn.empty()) return false;
    driver = SetupValue(dsn, "Driver", "odbc.ini");
  }
  if (driver.empty()) return false;
  if (text::EqualsIgnoreAsciiCase(driver, "FreeTDS") || odbc::IsFreeTdsLibrary(driver)) return true;
  return driver.find('/') == std::string::npos &&
         odbc::IsFreeTdsLibrary(SetupValue(driver, "Driver", "odbcinst.ini"));
}

// What SQLDriverConnect is given for `connection_string`, translated for
// the drivers registered here.
odbc::OdbcConnection SettingsFor(const std::string& connection_string) {
  return odbc::IsOleDbString(connection_string)
             ? odbc::TranslateOleDb(connection_string, odbc::ChooseSqlServerDriver(RegisteredDrivers()))
             : odbc::PassThrough(connection_string, ReachesFreeTds(connection_string));
}

// Reads the fixed-size value of column `c` of the current row into *value;
// false for a null.
template <typename T>
bool ReadFixed(const Handle& stmt, SQLUSMALLINT c, SQLSMALLINT c_type, T* value) {
  SQLLEN indicator = 0;
  SQLGetData(stmt.get(), c, c_type, value, sizeof *value, &indicator);
  return indicator != SQL_NULL_DATA;
}

// A whole result, kept in memory: the cursor of the record set is static.
class OdbcResult : public ResultSet {
 public:
  int64_t RowCount() const override {
    return columns_.empty() ? 0 : static_cast<int64_t>(values_.size() / columns_.size());
  }
  const std::vector<std::string>& Columns() const override { return columns_; }
  Variant Value(int64_t row, int column) override {
    return values_[static_cast<size_t>(row) * columns_.size() + static_cast<size_t>(column)];
  }

  std::vector<std::string> columns_;
  std::vector<SQLSMALLINT> types_;
  std::vector<Variant> values_;  // row after row
};

class OdbcProvider : public Provider {
 public:
  OdbcProvider(Handle env, Handle dbc, int query_timeout)
      : env_(std::move(env)), dbc_(std::move(dbc)), query_timeout_(query_timeout) {}
  ~OdbcProvider() override {
    stmt_.reset();
    SQLDisconnect(dbc_.get());
  }

  std::unique_ptr<ResultSet> Query(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    auto result = std::make_unique<OdbcResult>();
    Run(sql, result.get(), errors);
    return result;
  }
  void Execute(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    Run(sql, nullptr, errors);
  }
  // Opens no row: whether the table can be read is all that is asked.
  std::unique_ptr<ResultSet> OpenTable(const std::string& table,
                                       std::vector<ErrorEntry>* errors) override {
    return Query("SELECT * FROM " + table + " WHERE 1 = 0", errors);
  }
  bool IsConnectionDead() const override { return dead_; }
  // The driver is asked to cancel the batch under way (SQLCancel, which may
  // come from another thread): it tells the server, whose acknowledgement
  // ends the batch's wait. Later batches are not sent. A batch the driver
  // has not begun to send yet ignores the cancel, so it is asked again
  // until the batch ends, for a while: a server that never acknowledges
  // leaves the batch to its time-out.
  void Cancel() override {
    std::unique_lock<std::mutex> lock(cancel_mu_);
    cancelled_ = true;
    for (int tries = 0; running_ != SQL_NULL_HANDLE && tries < kCancelTries; ++tries) {
      SQLCancel(running_);
      batch_ended_.wait_for(lock, kCancelInterval);
    }
  }

 private:
  // Runs `sql` as one batch and drains every result it gives, so that an
  // error after the first result is not lost; the first result set with
  // columns goes into `result` when one is wanted.
  void Run(const std::string& sql, OdbcResult* result, std::vector<ErrorEntry>* errors);
  // The statement the batches run on, made at the first (and after a
  // failed) batch. Throws _com_error when none can be made.
  const Handle& Statement(std::vector<ErrorEntry>* errors);
  // Reads the rows of the current result set; false when a read failed.
  bool Fetch(const Handle& stmt, OdbcResult* result, std::vector<Diagnostic>* diagnostics);

  Handle env_;
  Handle dbc_;
  std::optional<Handle> stmt_;
  int query_timeout_;
  bool dead_ = false;
  // Shared with Cancel: whether it was called, and the statement of the
  // batch under way, which is not freed while Cancel uses it.
  std::mutex cancel_mu_;
  std::condition_variable batch_ended_;  // running_ was cleared
  bool cancelled_ = false;
  SQLHSTMT running_ = SQL_NULL_HANDLE;
};

const Handle& OdbcProvider::Statement(std::vector<ErrorEntry>* errors) {
  if (stmt_) return *stmt_;
  Handle stmt(SQL_HANDLE_STMT, dbc_.get());
  if (!stmt) {
    std::vector<Diagnostic> diagnostics;
    AppendDiagnostics(dbc_, &diagnostics);
    Fail(kEFail, FirstMessage(diagnostics, "The command could not be prepared."), diagnostics, errors);
  }
  SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                 reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(query_timeout_)), 0);
  // The text goes as written: braces in it are data, not ODBC escapes.
  SQLSetStmtAttr(stmt.get(), SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
  return stmt_.emplace(std::move(stmt));
}

void OdbcProvider::Run(const std::string& sql, OdbcResult* result, std::vector<ErrorEntry>* errors) {
  std::vector<Diagnostic> diagnostics;
  const Handle& stmt = Statement(errors);
  // Shows the statement to Cancel for as long as the batch runs on it.
  struct Running {
    explicit Running(OdbcProvider& p, SQLHSTMT stmt) : provider(p) {
      std::lock_guard<std::mutex> lock(provider.cancel_mu_);
      cancelled = provider.cancelled_;
      if (!cancelled) provider.running_ = stmt;
    }
    ~Running() { End(); }
    // Hides the statement again; whether Cancel was called by then.
    bool End() {
      std::lock_guard<std::mutex> lock(provider.cancel_mu_);
      provider.running_ = SQL_NULL_HANDLE;
      provider.batch_ended_.notify_all();
      return cancelled = provider.cancelled_;
    }
    OdbcProvider& provider;
    bool cancelled = false;
  } running(*this, stmt.get());
  if (running.cancelled) Fail(kEAbort, kCancelledText, diagnostics, errors);
  WideString wide = ToWide(sql);
  bool failed = false;
  bool fetched = result == nullptr;
  SQLRETURN rc = SQLExecDirectW(stmt.get(), wide.data(), static_cast<SQLINTEGER>(wide.size()));
  // A failing result does not end the batch: the driver may still hold
  // results after it. Only a lost connection or a cancelled batch does.
  for (int results = 0; rc != SQL_NO_DATA && results < 10000; ++results) {
    if (rc == SQL_ERROR || rc == SQL_SUCCESS_WITH_INFO) AppendDiagnostics(stmt, &diagnostics);
    if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) {
      failed = true;
      SQLUINTEGER dead = SQL_CD_FALSE;
      if (SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr) == SQL_SUCCESS &&
          dead == SQL_CD_TRUE)
        dead_ = true;
      if (dead_ || rc == SQL_INVALID_HANDLE) break;
    } else if (!fetched) {
      SQLSMALLINT columns = 0;
      if (SQL_SUCCEEDED(SQLNumResultCols(stmt.get(), &columns)) && columns > 0) {
        fetched = true;
        failed = !Fetch(stmt, result, &diagnostics) || failed;
      }
    }
    rc = SQLMoreResults(stmt.get());
  }
  SQLFreeStmt(stmt.get(), SQL_CLOSE);
  const bool cancelled = running.End();
  if (!failed) return;
  // A statement that failed (cancelled, cut off) is not trusted again.
  stmt_.reset();
  // Whatever the driver said of it, a batch that failed once cancelled
  // ended on request.
  if (cancelled) Fail(kEAbort, kCancelledText, {}, errors);
  bool timed_out = false;
  for (const Diagnostic& d : diagnostics) timed_out = timed_out || d.state == "HYT00" || d.state == "HYT01";
  const HRESULT hr = timed_out ? kDbQueryTimeout : dead_ ? kEFail : kDbErrorsInCommand;
  Fail(hr, FirstMessage(diagnostics, "The command failed."), diagnostics, errors);
}

bool OdbcProvider::Fetch(const Handle& stmt, OdbcResult* result, std::vector<Diagnostic>* diagnostics) {
  SQLSMALLINT count = 0;
  SQLNumResultCols(stmt.get(), &count);
  for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(count); ++c) {
    SQLWCHAR name[256] = {};
    SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeColW(stmt.get(), c, name, 256, &name_length, &type, &size, &digits, &nullable);
    result->columns_.push_back(ToUtf8(name, std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(name_length, 0)), 255)));
    result->types_.push_back(type);
  }
  for (;;) {
    const SQLRETURN rc = SQLFetch(stmt.get());
    if (rc == SQL_NO_DATA) return true;
    if (!SQL_SUCCEEDED(rc)) {
      AppendDiagnostics(stmt, diagnostics);
      return false;
    }
    for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(count); ++c) {
      Variant value;
      switch (result->types_[c - 1]) {
        case SQL_INTEGER:
        case SQL_SMALLINT:
        case SQL_TINYINT:
        case SQL_BIT: {
          SQLINTEGER n = 0;
          if (ReadFixed(stmt, c, SQL_C_SLONG, &n)) value = Variant::FromLong(n);
          break;
        }
        case SQL_BIGINT:
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
        case SQL_NUMERIC:
        case SQL_DECIMAL: {
          double d = 0;
          if (ReadFixed(stmt, c, SQL_C_DOUBLE, &d)) value = Variant::FromDouble(d);
          break;
        }
        case SQL_TYPE_TIMESTAMP:
        case SQL_TYPE_DATE: {
          SQL_TIMESTAMP_STRUCT ts = {};
          if (!ReadFixed(stmt, c, SQL_C_TYPE_TIMESTAMP, &ts)) break;
          std::tm fields = {};
          fields.tm_year = ts.year - 1900;
          fields.tm_mon = ts.month - 1;
          fields.tm_mday = ts.day;
          fields.tm_hour = ts.hour;
          fields.tm_min = ts.minute;
          fields.tm_sec = ts.second;
          if (const std::optional<double> ole = TmToOleDate(fields)) value = Variant::FromDate(*ole);
          break;
        }
        default: {
          // Text of any length, in pieces; each piece ends in a NUL.
          SQLLEN indicator = 0;
          WideString text, piece(2048, 0);
          SQLRETURN part;
          while ((part = SQLGetData(stmt.get(), c, SQL_C_WCHAR, piece.data(),
                                    static_cast<SQLLEN>(piece.size() * sizeof(SQLWCHAR)),
                                    &indicator)) != SQL_NO_DATA &&
                 SQL_SUCCEEDED(part) && indicator != SQL_NULL_DATA) {
            const size_t got = indicator == SQL_NO_TOTAL ||
                                       static_cast<size_t>(indicator) / sizeof(SQLWCHAR) >= piece.size()
                                   ? piece.size() - 1
                                   : static_cast<size_t>(indicator) / sizeof(SQLWCHAR);
            text.append(piece.data(), got);
            if (part == SQL_SUCCESS) break;
          }
          if (indicator != SQL_NULL_DATA) value = Variant::FromText(ToUtf8(text.data(), text.size()));
          break;
        }
      }
      result->values_.push_back(std::move(value));
    }
  }
}

}  // namespace

std::unique_ptr<Provider> OpenOdbcProvider(const std::string& connection_string,
                                           int login_timeout_seconds,
                                           std::vector<ErrorEntry>* errors) {
  std::vector<Diagnostic> diagnostics;
  Handle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  if (!env) Fail(kEFail, "The ODBC driver manager could not be started.", diagnostics, errors);
  SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);

  const odbc::OdbcConnection settings = SettingsFor(connection_string);
  for (const std::string& w : settings.warnings) diagnostics.push_back({"01000", {0, w, true}});
  if (settings.error != 0) {
    diagnostics.push_back({"08001", {settings.error, settings.error_text}});
    Fail(settings.error, settings.error_text, diagnostics, errors);
  }

  Handle dbc(SQL_HANDLE_DBC, env.get());
  if (!dbc) {
    AppendDiagnostics(env, &diagnostics);
    Fail(kEFail, FirstMessage(diagnostics, "No ODBC connection could be made."), diagnostics, errors);
  }
  const int login_timeout = settings.login_timeout.value_or(login_timeout_seconds);
  SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(login_timeout)), 0);
  WideString wide = ToWide(settings.connection_string);
  const SQLRETURN rc = SQLDriverConnectW(dbc.get(), nullptr, wide.data(),
                                         static_cast<SQLSMALLINT>(wide.size()), nullptr, 0, nullptr,
                                         SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    AppendDiagnostics(dbc, &diagnostics);
    // The string is named so that a translation can be checked; never its password.
    Fail(kEFail,
         FirstMessage(diagnostics, "The connection could not be opened.") +
             "\n\tConnection string = " + MaskPasswords(settings.connection_string),
         diagnostics, errors);
  }
  for (const Diagnostic& d : diagnostics) errors->push_back(d.entry);
  return std::make_unique<OdbcProvider>(std::move(env), std::move(dbc),
                                        settings.query_timeout.value_or(kDefaultCommandTimeout));
}

std::string OdbcConnectionStringProblem(const std::string& connection_string) {
  const odbc::OdbcConnection settings = SettingsFor(connection_string);
  if (settings.error != 0) return settings.error_text;
  // Without a driver or a data source the driver manager can only fail.
  if (odbc::OdbcValue(settings.connection_string, "driver").empty() &&
      odbc::OdbcValue(settings.connection_string, "dsn").empty() &&
      odbc::OdbcValue(settings.connection_string, "filedsn").empty())
    return "It names no ODBC Driver, DSN or OLE DB Provider.";
  return "";
}

}  // namespace tavrin::ado
