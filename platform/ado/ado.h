#ifndef TAVRIN_PLATFORM_ADO_ADO_H_
#define TAVRIN_PLATFORM_ADO_ADO_H_

// The data-access objects the program works through: Connection, Recordset
// and Command over a provider chosen from the connection string. Every
// failing operation throws _com_error; the provider's own diagnostics of the
// last failed operation are in the connection's Errors().
//
// Objects are shared by counted references (std::shared_ptr) and are used by
// one thread at a time; a record set and its connection count as one object
// for that rule.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/ado/com_error.h"
#include "platform/ado/oledate.h"

namespace tavrin::ado {

// A field's value: database null, text (UTF-8), 32-bit integer, double, or
// date (OLE day count). Text columns deliver text, Long and Integer columns
// integers, Double and Single columns doubles, Date/Time columns dates.
class Variant {
 public:
  struct Null {};
  struct Date {
    double value;
  };
  Variant() : v_(Null{}) {}
  static Variant FromText(std::string s) { return Variant(std::move(s)); }
  static Variant FromLong(int32_t n) { return Variant(n); }
  static Variant FromDouble(double d) { return Variant(d); }
  static Variant FromDate(double ole) { return Variant(Date{ole}); }

  bool IsNull() const { return std::holds_alternative<Null>(v_); }
  bool IsText() const { return std::holds_alternative<std::string>(v_); }
  bool IsLong() const { return std::holds_alternative<int32_t>(v_); }
  bool IsDouble() const { return std::holds_alternative<double>(v_); }
  bool IsDate() const { return std::holds_alternative<Date>(v_); }

  // The value converted as a variant change of type does: text as is,
  // numbers in decimal, dates as "m/d/yyyy h:mm:ss AM"; null gives "".
  std::string AsText() const;
  // The value as a 32-bit integer; throws _com_error when it is not a number.
  int32_t AsLong() const;
  // The value as an OLE date; throws _com_error when it is not a date or number.
  double AsDate() const;

 private:
  template <typename T>
  explicit Variant(T v) : v_(std::move(v)) {}
  std::variant<Null, std::string, int32_t, double, Date> v_;
};

// A field's value read in place: a text as a view into the result that
// holds it (`is_text`), any other value (text included) as a variant.
struct CellView {
  bool is_text = false;
  std::string_view text;
  Variant value;
};

// One diagnostic of the provider: a number and a description. A warning
// (set by an open that went on despite it, or before the reason it failed)
// reports something the user should know that did not fail anything.
struct ErrorEntry {
  int32_t number = 0;
  std::string description;
  bool warning = false;
};

class Provider;
class ProviderFactory;

// Asked now and then during a long operation; once it returns true the
// operation ends soon with kEAbort. An empty function never cancels.
using CancelCheck = std::function<bool()>;
class Recordset;
class ResultSet;

// ADO: "Operation is not allowed when the object is open."
constexpr HRESULT kAdErrObjectOpen = static_cast<HRESULT>(0x800A0E79);
// ADO: "Provider cannot be found. It may not be properly installed."
constexpr HRESULT kAdErrProviderNotFound = static_cast<HRESULT>(0x800A0E7A);
// ADO: "The connection cannot be used to perform this operation. It is
// either closed or invalid in this context."
constexpr HRESULT kAdErrInvalidConnection = static_cast<HRESULT>(0x800A0E7D);

enum CursorType { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum LockType { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3 };
enum CommandOptions { adCmdUnspecified = -1, adCmdText = 1, adCmdTable = 2 };

class Connection {
 public:
  // Opens its providers through `providers`, which must outlive it.
  explicit Connection(ProviderFactory& providers);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Seconds allowed for Open; 0 waits forever. Providers that have no wait
  // of their own ignore it.
  void SetConnectionTimeout(int seconds);

  // The check that Open hands the provider, which asks it during the open
  // and the queries and batches that follow (see ProviderFactory::Open).
  void SetCancelCheck(CancelCheck cancelled) { cancelled_ = std::move(cancelled); }

  // A stop requested through `stop` while the connection is open cancels
  // the provider's operation under way (Provider::Cancel), on the thread
  // that requests it, so a wait for a server ends without waiting for its
  // time-out. Set before Open.
  void SetStopToken(std::stop_token stop) { stop_ = std::move(stop); }

  // Opens the data source named by `connection_string` with the provider
  // that the factory chooses for it (ProviderFactory::Open). Throws _com_error
  // when it cannot be opened (Errors() says why) and kAdErrObjectOpen when it
  // is open already. After a successful open Errors() holds the provider's
  // warnings, if any.
  void Open(const std::string& connection_string, const std::string& user,
            const std::string& password, int options);

  // Closes the connection and every record set opened on it. Throws
  // _com_error when it is not open.
  void Close();

  bool IsOpen() const;

  // True once the provider found the link to its server lost: the
  // connection stays open but every operation on it fails.
  bool IsConnectionDead() const;

  // The diagnostics of the last failed operation on this connection or on a
  // record set or command that uses it, in the order the provider gave them.
  // Every operation that reaches the provider clears them first.
  std::vector<ErrorEntry> Errors() const;

  // For Recordset and Command: the open provider. Throws
  // kAdErrInvalidConnection when the connection is not open.
  Provider& provider();
  // Replaces the diagnostics (an empty list clears them).
  void SetErrors(std::vector<ErrorEntry> errors);

 private:
  friend class Recordset;
  ProviderFactory& providers_;
  std::unique_ptr<Provider> provider_;
  int timeout_seconds_ = 15;
  CancelCheck cancelled_;
  std::stop_token stop_;
  // Calls the provider's Cancel while it is open; destroyed before the
  // provider, which waits for a Cancel under way on another thread.
  std::optional<std::stop_callback<std::function<void()>>> stop_callback_;
  mutable std::mutex errors_mu_;
  std::vector<ErrorEntry> errors_;
  // The open record sets on this connection, which Close closes. Each
  // removes itself when it closes or is destroyed.
  std::vector<Recordset*> recordsets_;
};
using ConnectionPtr = std::shared_ptr<Connection>;

// A static record set. Every operation but Open and IsOpen throws
// kAdErrObjectClosed while it is closed, which it also is once its
// connection has been closed. It keeps its connection object alive.
class Recordset {
 public:
  Recordset();
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Runs `source` (SQL text with adCmdText, a table name with adCmdTable) on
  // `connection` and keeps its result: the cursor is static whatever
  // `cursor` says, so RecordCount is exact. The cursor starts on the first
  // record, read already (BOF and EOF both true when there is none). Throws _com_error:
  // kAdErrObjectOpen when already open, kAdErrInvalidConnection without an
  // open connection, the provider's error when the query fails.
  void Open(const std::string& source, const ConnectionPtr& connection, CursorType cursor,
            LockType lock, int options);
  // Throws _com_error when not open.
  void Close();
  bool IsOpen() const;

  // Moves; MoveFirst and MoveLast throw kAdErrNoCurrentRecord on an empty
  // set, MoveNext throws it when EOF is already true. A result that reads
  // its rows as the cursor reaches them (ResultSet::Fetch) may fail to read
  // the record moved to: the move then throws the provider's error (Errors()
  // says why) and the cursor stays where it was.
  void MoveFirst();
  void MoveNext();
  void MoveLast();
  bool IsBOF() const;  // (named so because EOF is a C macro)
  bool IsEOF() const;
  int32_t RecordCount() const;

  // The value of the field `name` (letter case ignored) of the current
  // record. Throws kAdErrItemNotFound for an unknown name and
  // kAdErrNoCurrentRecord when BOF or EOF is true.
  Variant GetFieldValue(const std::string& name) const;

  // The index of the field `name` (letter case ignored; the first field of
  // that name), or -1 when there is none. Throws when the set is closed.
  int FieldIndex(const std::string& name) const;

  // Field `index` (from FieldIndex) of the current record, as GetFieldValue
  // gives it but read in place: valid until the cursor moves or the set
  // closes. A whole record is read at its first field, so readers that take
  // many fields of each record find each without a search. Throws
  // kAdErrItemNotFound for an index out of range and kAdErrNoCurrentRecord
  // when BOF or EOF is true.
  const CellView& FieldAt(int index) const;

  // The names of the fields, in result order.
  std::vector<std::string> FieldNames() const;

  // Names the fields that the caller reads of the records of the next Open
  // (letter case ignored; a name the result lacks is passed over): a
  // provider that reads rows as the cursor reaches them may then read only
  // those, and every other field of a record gives Null. Field names and
  // indexes stay as they are. None named (the default): every field is read.
  void SetFieldsRead(std::vector<std::string> names) { fields_read_ = std::move(names); }

 private:
  friend class Connection;
  void CheckOpen() const;
  // Puts the cursor on `position` (a record, or RowCount() for EOF).
  void MoveTo(int64_t position);
  // Drops the result and leaves the connection; the record set is closed.
  void Release();
  ConnectionPtr connection_;
  std::unique_ptr<ResultSet> result_;  // null while closed
  int64_t position_ = 0;               // the current record; RowCount() at EOF
  // The column after the one found last: readers that take a record's
  // fields in column order find each at the first comparison. A name found
  // there stands for the first column of that name (first_of_).
  mutable size_t next_column_ = 0;
  std::vector<size_t> first_of_;
  // The cells of record `row_read_` (-1: none), as FieldAt read them.
  mutable int64_t row_read_ = -1;
  mutable std::vector<CellView> row_;
  std::vector<std::string> fields_read_;  // SetFieldsRead's; empty: all
};
using RecordsetPtr = std::shared_ptr<Recordset>;

class Command {
 public:
  // The connection is used by reference: closing it makes Execute fail.
  void SetActiveConnection(ConnectionPtr connection) { connection_ = std::move(connection); }
  void SetCommandText(std::string text) { text_ = std::move(text); }
  // Runs the command text as one batch. Throws _com_error
  // (kAdErrInvalidConnection without an open connection).
  void Execute(int options);

 private:
  ConnectionPtr connection_;
  std::string text_;
};
using CommandPtr = std::shared_ptr<Command>;

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_ADO_H_
