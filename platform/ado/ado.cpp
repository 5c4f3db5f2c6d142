#include "platform/ado/ado.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "platform/ado/provider.h"
#include "platform/text/ascii.h"

namespace tavrin::ado {
namespace {

constexpr HRESULT kDispTypeMismatch = static_cast<HRESULT>(0x80020005);
constexpr HRESULT kDispOverflow = static_cast<HRESULT>(0x8002000A);

const char* const kConnectionSource = kAdoConnectionSource;
const char kRecordsetSource[] = "ADODB.Recordset";
const char kCommandSource[] = "ADODB.Command";

_com_error AdoError(HRESULT hr, const char* source) {
  const char* text = "";
  switch (hr) {
    case kAdErrNoCurrentRecord:
      text = "Either BOF or EOF is True, or the current record has been deleted. Requested "
             "operation requires a current record.";
      break;
    case kAdErrItemNotFound:
      text = "Item cannot be found in the collection corresponding to the requested name or "
             "ordinal.";
      break;
    case kAdErrObjectClosed:
      text = "Operation is not allowed when the object is closed.";
      break;
    case kAdErrObjectOpen:
      text = "Operation is not allowed when the object is open.";
      break;
    case kAdErrInvalidConnection:
      text = "The connection cannot be used to perform this operation. It is either closed or "
             "invalid in this context.";
      break;
    case kEOutOfMemory:
      text = "Not enough memory to complete the operation.";
      break;
    default:
      break;
  }
  return _com_error(hr, std::string(source), std::string(text));
}

// Runs `call` with a list for the provider's diagnostics and returns them.
// When it fails, `connection` keeps them and the error goes on (an
// allocation failure as kEOutOfMemory from `source`).
template <typename Call>
std::vector<ErrorEntry> CallProvider(Connection& connection, const char* source, Call call) {
  std::vector<ErrorEntry> errors;
  try {
    call(&errors);
  } catch (const _com_error&) {
    connection.SetErrors(std::move(errors));
    throw;
  } catch (const std::bad_alloc&) {
    connection.SetErrors(std::move(errors));
    throw AdoError(kEOutOfMemory, source);
  }
  return errors;
}

// A conversion failure of a variant: no source and no description.
[[noreturn]] void ConversionError(HRESULT hr) { throw _com_error(hr); }

int32_t RoundToLong(double d) {
  if (!std::isfinite(d)) ConversionError(kDispOverflow);
  const double r = std::nearbyint(d);  // to even on .5, as variant conversion does
  if (r < std::numeric_limits<int32_t>::min() || r > std::numeric_limits<int32_t>::max())
    ConversionError(kDispOverflow);
  return static_cast<int32_t>(r);
}

std::string FormatDouble(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15G", d);
  return buf;
}

// "m/d/yyyy h:mm:ss AM"; the date alone at midnight, the time alone on
// 1899-12-30.
std::string FormatDate(double ole) {
  const auto tm = OleDateToTm(ole);
  if (!tm) ConversionError(kDispOverflow);
  char date[32] = "", time[32] = "";
  const bool midnight = tm->tm_hour == 0 && tm->tm_min == 0 && tm->tm_sec == 0;
  const bool epoch_day = tm->tm_year == -1 && tm->tm_mon == 11 && tm->tm_mday == 30;
  if (!epoch_day || midnight)
    std::snprintf(date, sizeof date, "%d/%d/%d", tm->tm_mon + 1, tm->tm_mday, tm->tm_year + 1900);
  if (!midnight || epoch_day) {
    const int h12 = tm->tm_hour % 12 == 0 ? 12 : tm->tm_hour % 12;
    std::snprintf(time, sizeof time, "%d:%02d:%02d %s", h12, tm->tm_min, tm->tm_sec,
                  tm->tm_hour < 12 ? "AM" : "PM");
  }
  if (!*date) return time;
  if (!*time) return date;
  return std::string(date) + " " + time;
}

}  // namespace

// ---------------------------------------------------------------------------
// Variant

std::string Variant::AsText() const {
  if (IsNull()) return "";
  if (const auto* s = std::get_if<std::string>(&v_)) return *s;
  if (const auto* n = std::get_if<int32_t>(&v_)) return std::to_string(*n);
  if (const auto* d = std::get_if<double>(&v_)) return FormatDouble(*d);
  return FormatDate(std::get<Date>(v_).value);
}

int32_t Variant::AsLong() const {
  if (const auto* n = std::get_if<int32_t>(&v_)) return *n;
  if (const auto* d = std::get_if<double>(&v_)) return RoundToLong(*d);
  if (const auto* dt = std::get_if<Date>(&v_)) return RoundToLong(dt->value);
  if (const auto* s = std::get_if<std::string>(&v_)) {
    const char* begin = s->c_str();
    while (*begin == ' ') ++begin;
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(begin, &end);
    while (end && *end == ' ') ++end;
    if (end == begin || *end != '\0' || errno == ERANGE) ConversionError(kDispTypeMismatch);
    return RoundToLong(d);
  }
  ConversionError(kDispTypeMismatch);
}

double Variant::AsDate() const {
  if (const auto* dt = std::get_if<Date>(&v_)) return dt->value;
  if (const auto* n = std::get_if<int32_t>(&v_)) return *n;
  if (const auto* d = std::get_if<double>(&v_)) {
    if (!OleDateToTm(*d)) ConversionError(kDispOverflow);
    return *d;
  }
  ConversionError(kDispTypeMismatch);
}

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(ProviderFactory& providers) : providers_(providers) {}

// Every record set registered here holds the connection, so none is left
// when it is destroyed.
Connection::~Connection() = default;

void Connection::SetConnectionTimeout(int seconds) { timeout_seconds_ = seconds; }

void Connection::Open(const std::string& connection_string, const std::string& /*user*/,
                      const std::string& /*password*/, int /*options*/) {
  if (provider_) throw AdoError(kAdErrObjectOpen, kConnectionSource);
  // The warnings of an open that succeeded stay too.
  SetErrors(CallProvider(*this, kConnectionSource, [&](std::vector<ErrorEntry>* errors) {
    provider_ = providers_.Open(connection_string, timeout_seconds_, cancelled_, errors);
  }));
  stop_callback_.emplace(stop_, [provider = provider_.get()] { provider->Cancel(); });
}

void Connection::Close() {
  if (!provider_) throw AdoError(kAdErrObjectClosed, kConnectionSource);
  // Release() unregisters, so walk a copy.
  const std::vector<Recordset*> open = recordsets_;
  for (Recordset* rs : open) rs->Release();
  stop_callback_.reset();
  provider_.reset();
}

bool Connection::IsOpen() const { return provider_ != nullptr; }

bool Connection::IsConnectionDead() const { return provider_ && provider_->IsConnectionDead(); }

std::vector<ErrorEntry> Connection::Errors() const {
  std::lock_guard<std::mutex> lock(errors_mu_);
  return errors_;
}

Provider& Connection::provider() {
  if (!provider_) throw AdoError(kAdErrInvalidConnection, kConnectionSource);
  return *provider_;
}

void Connection::SetErrors(std::vector<ErrorEntry> errors) {
  std::lock_guard<std::mutex> lock(errors_mu_);
  errors_ = std::move(errors);
}

// ---------------------------------------------------------------------------
// Recordset

Recordset::Recordset() = default;

Recordset::~Recordset() { Release(); }

void Recordset::Open(const std::string& source, const ConnectionPtr& connection,
                     CursorType /*cursor*/, LockType /*lock*/, int options) {
  if (result_) throw AdoError(kAdErrObjectOpen, kRecordsetSource);
  if (connection) connection->SetErrors({});
  if (!connection || !connection->IsOpen())
    throw AdoError(kAdErrInvalidConnection, kRecordsetSource);
  std::unique_ptr<ResultSet> result;
  CallProvider(*connection, kRecordsetSource, [&](std::vector<ErrorEntry>* errors) {
    Provider& provider = connection->provider();
    result = options == adCmdTable ? provider.OpenTable(source, errors) : provider.Query(source, errors);
    if (!fields_read_.empty()) {
      const auto& columns = result->Columns();
      std::vector<bool> read(columns.size(), false);
      for (size_t i = 0; i < columns.size(); ++i)
        for (const std::string& name : fields_read_) read[i] = read[i] || text::EqualsIgnoreAsciiCase(columns[i], name);
      result->LimitColumns(read);
    }
    // The cursor starts on the first record.
    if (result->RowCount() > 0) result->Fetch(0, errors);
  });
  connection->SetErrors({});
  connection->recordsets_.push_back(this);
  connection_ = connection;
  result_ = std::move(result);
  position_ = 0;
  next_column_ = 0;
  row_read_ = -1;
  const auto& columns = result_->Columns();
  first_of_.assign(columns.size(), 0);
  for (size_t i = 0; i < columns.size(); ++i) {
    first_of_[i] = i;
    for (size_t j = 0; j < i; ++j) {
      if (text::EqualsIgnoreAsciiCase(columns[j], columns[i])) {
        first_of_[i] = j;
        break;
      }
    }
  }
}

void Recordset::Close() {
  CheckOpen();
  Release();
}

bool Recordset::IsOpen() const { return result_ != nullptr; }

void Recordset::Release() {
  if (connection_) {
    auto& list = connection_->recordsets_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  connection_.reset();
  result_.reset();
  position_ = 0;
  row_read_ = -1;
  row_.clear();
}

void Recordset::CheckOpen() const {
  if (!result_) throw AdoError(kAdErrObjectClosed, kRecordsetSource);
}

void Recordset::MoveTo(int64_t position) {
  if (position != position_ && position < result_->RowCount())
    CallProvider(*connection_, kRecordsetSource,
                 [&](std::vector<ErrorEntry>* errors) { result_->Fetch(position, errors); });
  position_ = position;
}

void Recordset::MoveFirst() {
  CheckOpen();
  if (result_->RowCount() == 0) throw AdoError(kAdErrNoCurrentRecord, kRecordsetSource);
  MoveTo(0);
}

void Recordset::MoveNext() {
  CheckOpen();
  if (position_ >= result_->RowCount()) throw AdoError(kAdErrNoCurrentRecord, kRecordsetSource);
  MoveTo(position_ + 1);
}

void Recordset::MoveLast() {
  CheckOpen();
  if (result_->RowCount() == 0) throw AdoError(kAdErrNoCurrentRecord, kRecordsetSource);
  MoveTo(result_->RowCount() - 1);
}

bool Recordset::IsBOF() const {
  CheckOpen();
  return result_->RowCount() == 0;
}

bool Recordset::IsEOF() const {
  CheckOpen();
  return position_ >= result_->RowCount();
}

int32_t Recordset::RecordCount() const {
  CheckOpen();
  return static_cast<int32_t>(
      std::min<int64_t>(result_->RowCount(), std::numeric_limits<int32_t>::max()));
}

Variant Recordset::GetFieldValue(const std::string& name) const {
  CheckOpen();
  const auto& columns = result_->Columns();
  int index = -1;
  for (size_t n = 0; n < columns.size(); ++n) {
    const size_t i = (next_column_ + n) % columns.size();
    if (text::EqualsIgnoreAsciiCase(columns[i], name)) {
      index = static_cast<int>(first_of_[i]);
      next_column_ = i + 1;
      break;
    }
  }
  if (index < 0) throw AdoError(kAdErrItemNotFound, kRecordsetSource);
  if (position_ >= result_->RowCount()) throw AdoError(kAdErrNoCurrentRecord, kRecordsetSource);
  return result_->Value(position_, index);
}

int Recordset::FieldIndex(const std::string& name) const {
  CheckOpen();
  const auto& columns = result_->Columns();
  for (size_t i = 0; i < columns.size(); ++i)
    if (text::EqualsIgnoreAsciiCase(columns[i], name)) return static_cast<int>(i);
  return -1;
}

const CellView& Recordset::FieldAt(int index) const {
  CheckOpen();
  if (index < 0 || static_cast<size_t>(index) >= result_->Columns().size())
    throw AdoError(kAdErrItemNotFound, kRecordsetSource);
  if (position_ >= result_->RowCount()) throw AdoError(kAdErrNoCurrentRecord, kRecordsetSource);
  if (row_read_ != position_) {
    result_->ReadRow(position_, row_);
    row_read_ = position_;
  }
  return row_[static_cast<size_t>(index)];
}

std::vector<std::string> Recordset::FieldNames() const {
  CheckOpen();
  return result_->Columns();
}

// ---------------------------------------------------------------------------
// Command

void Command::Execute(int /*options*/) {
  if (connection_) connection_->SetErrors({});
  if (!connection_ || !connection_->IsOpen()) throw AdoError(kAdErrInvalidConnection, kCommandSource);
  CallProvider(*connection_, kCommandSource,
               [&](std::vector<ErrorEntry>* errors) { connection_->provider().Execute(text_, errors); });
  connection_->SetErrors({});
}

}  // namespace tavrin::ado
