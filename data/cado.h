#ifndef TAVRIN_DATA_CADO_H_
#define TAVRIN_DATA_CADO_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/ado/com_error.h"
#include "run/run_host.h"

namespace tavrin {

// Shows one "Provider Error" box for each diagnostic of `connection` (none
// for a null connection or an empty list).
void ShowProviderErrors(RunHost& host, const ado::ConnectionPtr& connection);

// Shows the "COM Error" box for `e`.
void ShowComError(RunHost& host, const _com_error& e);

// Which of a provider's diagnostics JoinDescriptions takes.
enum class DiagnosticsTaken {
  kAll,
  kErrors,  // warnings and entries without a description left out
};

// The descriptions of the diagnostics `errors` that `taken` takes, joined by
// "; "; empty when none is taken.
std::string JoinDescriptions(const std::vector<ado::ErrorEntry>& errors, DiagnosticsTaken taken);

// Why an operation on `connection` failed, in the provider's words for a
// log line: the descriptions of its diagnostics (warnings left out) joined
// by "; ", else the description of `e`, else its code's meaning (without
// `e`: "the provider gave no reason"). Never throws.
std::string ProviderReason(const ado::ConnectionPtr& connection, const _com_error* e);

// The text of the "COM Error" box.
std::string FormatComError(const _com_error& e);

// A record set over a connection that somebody else opened. Every operation
// catches the database layer's errors and reports them in a fixed way (see
// each); none lets one escape but GetRecordCount. Used by one thread.
class CADO {
 public:
  // `host` receives the error boxes; it must outlive the object.
  explicit CADO(RunHost& host) : host_(&host) {}

  // Binds the connection (null unbinds). The wrapper never opens or closes it.
  void SetConnection(ado::ConnectionPtr connection) { m_pConnection = std::move(connection); }

  // Opens the record set on SQL text (static, read-only). False on failure,
  // showing nothing.
  bool OpenRecordset(const std::string& sql);
  // Opens a fresh record set on table "vesk_org"; false on failure after the
  // error boxes.
  bool OpenTable();
  void CloseRecordset();
  // Throws _com_error on failure.
  int32_t GetRecordCount();
  // Where a move left the cursor.
  enum class MoveResult {
    kOnRecord,  // on a record
    kNoRecord,  // TryMoveFirst: the record set is empty
    kPastLast,  // TryMoveNext: there was no next record; the cursor is back on the last
    kFailed,    // the move failed; reported as ReportMoveError says
  };
  // Moves to the first record: kOnRecord, kNoRecord or kFailed.
  MoveResult TryMoveFirst();
  // Moves to the next record: kOnRecord, kPastLast or kFailed.
  MoveResult TryMoveNext();
  // Whether the last move failed because the source changed while the
  // record set read it (kDbConcurrencyViolation).
  bool SourceChanged() const { return source_changed_; }

  // The index of field `name` in the record set, or -1 when it has none or
  // is not open (the reads by index then fail as those by name would).
  int FieldIndex(const std::string& name);

  // Field reads by name. On failure the error boxes are shown and the output
  // is left unchanged (GetFieldLong then returns 0).
  void GetFieldString(const std::string& name, std::string& out);
  int32_t GetFieldLong(const std::string& name);
  void GetFieldDate(const std::string& name, COleDateTime& out);

  // The same reads by the field's index in the open record set (from
  // FieldIndex), for readers that find their fields once per record set:
  // they fail as the reads by name do, an index of -1 as an unknown name.
  void GetFieldString(int index, std::string& out);
  int32_t GetFieldLong(int index);
  void GetFieldDate(int index, COleDateTime& out);

  ado::ConnectionPtr m_pConnection;
  ado::RecordsetPtr m_pRecordset;

 protected:
  // Records the failure and shows the provider errors of the bound
  // connection, then `e`; nothing when `e` is an operation that a stop
  // ended (kEAbort after the stop request).
  void ReportError(const _com_error& e);
  // Reports a failed move as ReportError does when the provider failed to
  // read the record moved to; a misused cursor and a stop stay silent, and
  // so does a source that changed (SourceChanged), which the walk reports.
  void ReportMoveError(const _com_error& e);
  RunHost& host() { return *host_; }

 private:
  RunHost* host_;
  bool source_changed_ = false;
};

}  // namespace tavrin

#endif  // TAVRIN_DATA_CADO_H_
