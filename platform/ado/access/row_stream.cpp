#include "platform/ado/access/row_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tavrin::ado::access {
namespace {

enum Kind : uint8_t { kTable = 1, kRows, kTableEnd, kFailure, kDone };

constexpr size_t kHeader = 5;              // kind and length
constexpr size_t kRowsFlush = 256 << 10;   // a rows message is sent at about this size
constexpr size_t kMaxName = 4096;          // table and column names
constexpr uint32_t kMaxColumns = 4096;
constexpr size_t kMaxDescription = 65536;
constexpr uint32_t kMaxWarnings = 64;

// A stream that breaks the rules: `how` says how.
[[noreturn]] void Broken(const char* how) { throw ProviderFailure(kEFail, how); }

template <typename T>
void Append(std::string* out, T value) {
  out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

void AppendText(std::string* out, std::string_view text) {
  Append(out, static_cast<uint32_t>(std::min<size_t>(text.size(), std::numeric_limits<uint32_t>::max())));
  out->append(text.substr(0, std::numeric_limits<uint32_t>::max()));
}

// Reads the fields of one message; every read checks the bounds.
class Fields {
 public:
  explicit Fields(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  T Get() {
    if (bytes_.size() < sizeof(T)) Broken("a message is cut short");
    T value;
    std::memcpy(&value, bytes_.data(), sizeof value);
    bytes_.remove_prefix(sizeof value);
    return value;
  }
  std::string Text(size_t max) {
    const auto size = Get<uint32_t>();
    if (size > max || size > bytes_.size()) Broken("a text is too long");
    std::string out(bytes_.substr(0, size));
    bytes_.remove_prefix(size);
    return out;
  }
  void End() const {
    if (!bytes_.empty()) Broken("a message is too long");
  }

 private:
  std::string_view bytes_;
};

}  // namespace

// ---------------------------------------------------------------------------
// StreamWriter

void StreamWriter::BeginTable(const std::string& name, const std::vector<ColumnInfo>& columns, bool placed) {
  std::string payload;
  AppendText(&payload, name);
  Append(&payload, static_cast<uint8_t>(placed));
  Append(&payload, static_cast<uint32_t>(columns.size()));
  for (const auto& c : columns) {
    AppendText(&payload, c.name);
    Append(&payload, static_cast<uint8_t>(c.declared));
    Append(&payload, static_cast<uint8_t>(c.loaded));
  }
  Put(kTable, payload);
  placed_ = placed;
}

void StreamWriter::Row(std::string_view cells, uint64_t place) {
  const size_t size = cells.size() + (placed_ ? sizeof place : 0);
  if (size > std::numeric_limits<uint32_t>::max() - kHeader) throw std::length_error("row too large");
  if (!rows_.empty() && rows_.size() + size > std::numeric_limits<uint32_t>::max()) FlushRows();
  if (rows_.empty()) rows_.assign(kHeader, '\0');
  if (placed_) Append(&rows_, place);
  rows_.append(cells);
  if (rows_.size() >= kRowsFlush) FlushRows();
}

void StreamWriter::EndTable(uint64_t rows) {
  std::string payload;
  Append(&payload, rows);
  Put(kTableEnd, payload);
}

void StreamWriter::Failure(const ProviderFailure& failure) {
  std::string payload;
  Append(&payload, failure.hr);
  Append(&payload, static_cast<uint8_t>(failure.retry));
  AppendText(&payload, std::string_view(failure.description).substr(0, kMaxDescription));
  const auto count = static_cast<uint32_t>(std::min<size_t>(failure.warnings.size(), kMaxWarnings));
  Append(&payload, count);
  for (uint32_t i = 0; i < count; ++i) AppendText(&payload, std::string_view(failure.warnings[i]).substr(0, kMaxName));
  Put(kFailure, payload);
}

void StreamWriter::Done() { Put(kDone, {}); }

void StreamWriter::HoldRows(bool hold) {
  FlushRows();
  WriteHeld(true);
  holding_ = hold;
}

void StreamWriter::Pump() {
  FlushRows();
  WriteHeld(false);
}

void StreamWriter::Put(uint8_t kind, std::string_view payload) {
  FlushRows();
  holding_ = false;
  std::string message(1, static_cast<char>(kind));
  Append(&message, static_cast<uint32_t>(payload.size()));
  message.append(payload);
  WriteOut(message);
}

void StreamWriter::FlushRows() {
  if (rows_.empty()) return;
  rows_[0] = static_cast<char>(kRows);
  const auto length = static_cast<uint32_t>(rows_.size() - kHeader);
  std::memcpy(&rows_[1], &length, sizeof length);
  WriteOut(rows_);
  rows_.clear();
}

void StreamWriter::WriteOut(std::string_view bytes) {
  if (holding_) {
    held_.append(bytes);
    return;
  }
  WriteHeld(true);
  Write(bytes, true);
}

void StreamWriter::WriteHeld(bool wait) {
  written_ += Write(std::string_view(held_).substr(written_), wait);
  if (written_ < held_.size()) return;
  held_.clear();
  written_ = 0;
}

size_t StreamWriter::Write(std::string_view bytes, bool wait) {
  size_t done = 0;
  bool blocked = false;
  while (done < bytes.size()) {
    const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      if (!wait) break;
      // A non-blocking pipe that is full: wait in the writes that finish it.
      fcntl(fd_, F_SETFL, 0);
      blocked = true;
    } else if (n == 0 || errno != EINTR) {
      throw ProviderFailure(kEFail, "the parent has gone");
    }
  }
  if (blocked) fcntl(fd_, F_SETFL, O_NONBLOCK);
  return done;
}

// ---------------------------------------------------------------------------
// StreamReader

char* StreamReader::Space(size_t size) {
  if (capacity_ - used_ < size) {
    const size_t capacity = std::max(capacity_ * 2, used_ + size);
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (used_) std::memcpy(bigger.get(), buffer_.get(), used_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
  }
  return buffer_.get() + used_;
}

void StreamReader::Commit(size_t size) {
  used_ += size;
  size_t at = 0;
  for (;;) {
    const size_t available = used_ - at;
    if (!in_message_) {
      if (available == 0) break;
      if (finished_) Broken("data follows the end");
      if (available < kHeader) break;
      kind_ = static_cast<uint8_t>(buffer_[at]);
      uint32_t length;
      std::memcpy(&length, buffer_.get() + at + 1, sizeof length);
      at += kHeader;
      total_ += kHeader + uint64_t{length};
      if (total_ > max_bytes_) Broken("more data than the file can hold");
      in_message_ = true;
      left_ = length;
      continue;
    }
    if (kind_ == kRows) {
      const size_t taken = TakeRows(std::string_view(buffer_.get() + at, std::min<uint64_t>(available, left_)));
      at += taken;
      left_ -= taken;
      if (left_ == 0) in_message_ = false;
      else break;  // a row is still on its way
    } else {
      if (available < left_) break;
      Handle(kind_, std::string_view(buffer_.get() + at, static_cast<size_t>(left_)));
      at += static_cast<size_t>(left_);
      in_message_ = false;
    }
  }
  // What is left is part of one message; move it to the front.
  if (at) {
    std::memmove(buffer_.get(), buffer_.get() + at, used_ - at);
    used_ -= at;
  }
}

size_t StreamReader::TakeRows(std::string_view bytes) {
  if (!table_ || (cells_ == 0 && !placed_)) Broken("rows outside a table");
  const size_t place_size = placed_ ? sizeof(uint64_t) : 0;
  size_t at = 0;
  while (at < bytes.size()) {
    const std::string_view rest = bytes.substr(at);
    size_t length = StoredTable::kBadRow;
    if (rest.size() >= place_size) {
      length = StoredTable::RowLength(rest.substr(place_size), cells_);
      if (length != StoredTable::kBadRow) length += place_size;
    }
    if (length == StoredTable::kBadRow) {
      // Only the message's last bytes may be a row still arriving.
      if (rest.size() == left_ - at) Broken("a row is not valid");
      break;
    }
    if (placed_) {
      uint64_t place;
      std::memcpy(&place, rest.data(), sizeof place);
      table_->places.push_back(place);
    }
    table_->AddRow(rest.substr(place_size, length - place_size));
    ++taken_;
    at += length;
  }
  return at;
}

void StreamReader::Handle(uint8_t kind, std::string_view payload) {
  Fields f(payload);
  switch (kind) {
    case kTable: {
      if (table_) Broken("a table starts inside another");
      auto table = std::make_shared<StoredTable>();
      table->name = f.Text(kMaxName);
      const auto placed = f.Get<uint8_t>();
      const auto count = f.Get<uint32_t>();
      if (placed > 1) Broken("a table of unknown form");
      if (count > kMaxColumns) Broken("too many columns");
      for (uint32_t i = 0; i < count; ++i) {
        ColumnInfo c{f.Text(kMaxName), static_cast<Tag>(f.Get<uint8_t>())};
        const auto loaded = f.Get<uint8_t>();
        if (c.declared != Tag::kText && c.declared != Tag::kLong && c.declared != Tag::kDouble &&
            c.declared != Tag::kDate)
          Broken("a column of unknown kind");
        if (loaded > 1) Broken("a column of unknown form");
        c.loaded = loaded != 0;
        table->columns.push_back(std::move(c));
      }
      f.End();
      placed_ = placed != 0;
      cells_ = table->LoadedColumns();
      // A table read in part holds the few columns a query selects and
      // sorts by, whose values repeat.
      if (placed_) table->ShareAlikeRows();
      taken_ = 0;
      table_ = std::move(table);
      return;
    }
    case kTableEnd: {
      const auto rows = f.Get<uint64_t>();
      f.End();
      if (!table_ || rows != taken_) Broken("a table ends with a wrong row count");
      table_->Finish();
      tables_.push_back(std::move(table_));
      table_.reset();
      return;
    }
    case kFailure: {
      ProviderFailure failure{f.Get<HRESULT>(), {}, {}};
      failure.retry = f.Get<uint8_t>() != 0;
      failure.description = f.Text(kMaxDescription);
      const auto count = f.Get<uint32_t>();
      if (count > kMaxWarnings) Broken("too many warnings");
      for (uint32_t i = 0; i < count; ++i) failure.warnings.push_back(f.Text(kMaxName));
      f.End();
      failure_ = std::move(failure);
      finished_ = true;
      return;
    }
    case kDone:
      f.End();
      if (table_) Broken("the stream ends inside a table");
      finished_ = true;
      return;
    default:
      Broken("a message of unknown kind");
  }
}

}  // namespace tavrin::ado::access
