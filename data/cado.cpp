#include "data/cado.h"

#include <cstdio>
#include <vector>

namespace tavrin {

void ShowProviderErrors(RunHost& host, const ado::ConnectionPtr& connection) {
  if (!connection) return;
  // The reporters run inside error handlers: nothing may escape from them.
  std::vector<ado::ErrorEntry> errors;
  try {
    errors = connection->Errors();
  } catch (...) {
    return;
  }
  for (const auto& e : errors) {
    char number[16];
    std::snprintf(number, sizeof number, "%x", static_cast<unsigned>(e.number));
    host.MessageBox(std::string("\t Error number: ") + number + "\t" + e.description,
                    "Provider Error", BoxStyle::kPlain);
  }
}

std::string JoinDescriptions(const std::vector<ado::ErrorEntry>& errors, DiagnosticsTaken taken) {
  std::string joined;
  for (const ado::ErrorEntry& entry : errors) {
    if (taken == DiagnosticsTaken::kErrors && (entry.warning || entry.description.empty())) continue;
    joined += (joined.empty() ? "" : "; ") + entry.description;
  }
  return joined;
}

std::string ProviderReason(const ado::ConnectionPtr& connection, const _com_error* e) {
  std::string reason;
  try {
    if (connection) reason = JoinDescriptions(connection->Errors(), DiagnosticsTaken::kErrors);
  } catch (...) {
    reason.clear();
  }
  if (!reason.empty()) return reason;
  if (e == nullptr) return "the provider gave no reason";
  return e->Description().value_or(e->ErrorMessage());
}

std::string FormatComError(const _com_error& e) {
  char code[16];
  std::snprintf(code, sizeof code, "%08lx", static_cast<unsigned long>(static_cast<uint32_t>(e.Error())));
  return std::string("Error\n\tCode = ") + code + "\n\tCode meaning = " + e.ErrorMessage() +
         "\n\tSource = " + e.Source().value_or("(null)") +
         "\n\tDescription = " + e.Description().value_or("(null)") + "\n";
}

void ShowComError(RunHost& host, const _com_error& e) {
  host.MessageBox(FormatComError(e), "COM Error", BoxStyle::kPlain);
}

void CADO::ReportError(const _com_error& e) {
  // An operation that a stop ended is no failure: the run just ends.
  if (e.Error() == kEAbort && host_->StopRequested()) return;
  host_->RecordFailure();
  ShowProviderErrors(*host_, m_pConnection);
  ShowComError(*host_, e);
}

void CADO::ReportMoveError(const _com_error& e) {
  // A move on a static cursor fails only by misuse; one that reads its
  // record as it moves can fail to, and the report it ends must not pass
  // for complete. A stop ends the walk as a stop, not as a failure.
  const HRESULT hr = e.Error();
  source_changed_ = hr == kDbConcurrencyViolation;
  if (source_changed_) return;
  if (hr != kAdErrNoCurrentRecord && hr != kAdErrObjectClosed && hr != kEPointer && hr != kEAbort)
    ReportError(e);
}

namespace {

// A null reference used as an object raises the invalid-pointer error.
template <typename T>
T& Deref(const std::shared_ptr<T>& p) {
  if (!p) throw _com_error(kEPointer);
  return *p;
}

}  // namespace

bool CADO::OpenRecordset(const std::string& sql) {
  try {
    Deref(m_pRecordset).Open(sql, m_pConnection, ado::adOpenStatic, ado::adLockReadOnly,
                             ado::adCmdText);
    return true;
  } catch (const _com_error&) {
    return false;
  }
}

bool CADO::OpenTable() {
  m_pRecordset = std::make_shared<ado::Recordset>();
  try {
    m_pRecordset->Open("vesk_org", m_pConnection, ado::adOpenStatic, ado::adLockPessimistic,
                       ado::adCmdTable);
    return true;
  } catch (const _com_error& e) {
    ReportError(e);
    return false;
  }
}

void CADO::CloseRecordset() {
  try {
    Deref(m_pRecordset).Close();
  } catch (const _com_error& e) {
    ReportError(e);
  }
}

int32_t CADO::GetRecordCount() { return Deref(m_pRecordset).RecordCount(); }

CADO::MoveResult CADO::TryMoveFirst() {
  source_changed_ = false;
  try {
    auto& rs = Deref(m_pRecordset);
    rs.MoveFirst();
    return rs.IsBOF() ? MoveResult::kNoRecord : MoveResult::kOnRecord;
  } catch (const _com_error& e) {
    ReportMoveError(e);
    return MoveResult::kFailed;
  }
}

CADO::MoveResult CADO::TryMoveNext() {
  source_changed_ = false;
  try {
    auto& rs = Deref(m_pRecordset);
    rs.MoveNext();
    if (rs.IsEOF()) {
      rs.MoveLast();
      return MoveResult::kPastLast;
    }
    return MoveResult::kOnRecord;
  } catch (const _com_error& e) {
    ReportMoveError(e);
    return MoveResult::kFailed;
  }
}

int CADO::FieldIndex(const std::string& name) {
  try {
    return Deref(m_pRecordset).FieldIndex(name);
  } catch (const _com_error&) {
    return -1;
  }
}

void CADO::GetFieldString(const std::string& name, std::string& out) { GetFieldString(FieldIndex(name), out); }

int32_t CADO::GetFieldLong(const std::string& name) { return GetFieldLong(FieldIndex(name)); }

void CADO::GetFieldDate(const std::string& name, COleDateTime& out) { GetFieldDate(FieldIndex(name), out); }

namespace {

// A field as a variant, for the reads that convert it.
ado::Variant ToVariant(const ado::CellView& cell) {
  return cell.is_text ? ado::Variant::FromText(std::string(cell.text)) : cell.value;
}

}  // namespace

void CADO::GetFieldString(int index, std::string& out) {
  try {
    const ado::CellView& cell = Deref(m_pRecordset).FieldAt(index);
    if (cell.is_text) {
      out.assign(cell.text);
    } else if (cell.value.IsNull()) {
      out.clear();
      return;
    } else {
      out = cell.value.AsText();
    }
    // Text never carries a double quote past this point, so writers may put
    // values between double quotes without escaping. (find looks with
    // memchr: most values hold none.)
    for (size_t q = out.find('"'); q != std::string::npos; q = out.find('"', q + 1)) out[q] = '\'';
  } catch (const _com_error& e) {
    ReportError(e);
  }
}

int32_t CADO::GetFieldLong(int index) {
  try {
    const ado::Variant v = ToVariant(Deref(m_pRecordset).FieldAt(index));
    return v.IsNull() ? 0 : v.AsLong();
  } catch (const _com_error& e) {
    ReportError(e);
    return 0;
  }
}

void CADO::GetFieldDate(int index, COleDateTime& out) {
  try {
    const ado::Variant v = ToVariant(Deref(m_pRecordset).FieldAt(index));
    if (v.IsNull()) {
      out.status = COleDateTime::null;
      return;
    }
    out.value = v.AsDate();
    out.status = COleDateTime::valid;
  } catch (const _com_error& e) {
    ReportError(e);
  }
}

}  // namespace tavrin
