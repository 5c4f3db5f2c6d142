#ifndef TAVRIN_PLATFORM_ADO_ACCESS_ROW_STREAM_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_ROW_STREAM_H_

// The stream that a reader child sends its parent over a pipe: table after
// table its name and columns, its rows in the cell format of RowBuilder
// (each after its place in the file, for a table read in part) and its row
// count, then either "done" or the failure that ended the reading.
// Each message is a kind byte, a 32-bit length and that many bytes; both
// ends are the same program, so numbers are in the machine's byte order.
// The parent checks every byte, because the child parses untrusted files
// and may have been subverted by one.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/stored_table.h"
#include "platform/ado/access/table_reader.h"

namespace tavrin::ado::access {

// The child's end: buffers rows and writes whole messages to `fd`. When `fd`
// is non-blocking (and may be made blocking with F_SETFL while a write
// waits), HoldRows and Pump let the reader read on while the parent takes
// what waits; with a blocking `fd`, Pump writes it all. A failed write
// throws ProviderFailure (the parent has gone); a row longer than a message
// can carry, std::length_error.
class StreamWriter : public TableSink {
 public:
  explicit StreamWriter(int fd) : fd_(fd) {}
  void BeginTable(const std::string& name, const std::vector<ColumnInfo>& columns, bool placed) override;
  void Row(std::string_view cells, uint64_t place) override;
  void EndTable(uint64_t rows) override;
  void HoldRows(bool hold) override;
  void Pump() override;
  void Failure(const ProviderFailure& failure);
  void Done();

 private:
  void Put(uint8_t kind, std::string_view payload);
  void FlushRows();
  void WriteOut(std::string_view bytes);
  // Writes what waits in held_: all of it when `wait`, else what the pipe
  // takes now.
  void WriteHeld(bool wait);
  // Writes `bytes` as WriteHeld does; returns how many were written.
  size_t Write(std::string_view bytes, bool wait);

  int fd_;
  bool placed_ = false;
  bool holding_ = false;
  std::string rows_;  // a rows message being filled, its header first
  std::string held_;  // whole messages waiting, from written_ on
  size_t written_ = 0;
};

// The parent's end: rebuilds the tables from the bytes as they arrive.
class StreamReader {
 public:
  // `max_bytes`: the most the whole stream may carry.
  explicit StreamReader(uint64_t max_bytes) : max_bytes_(max_bytes) {}

  // Room for `size` more bytes of the stream; fill some, then Commit.
  char* Space(size_t size);
  // Takes the `size` bytes just written at Space(). Throws ProviderFailure
  // (kEFail, its description saying how) at the first byte that breaks the
  // stream's rules, and std::bad_alloc or std::length_error when the tables
  // do not fit in memory.
  void Commit(size_t size);

  // The stream has ended, with "done" or a failure.
  bool finished() const { return finished_; }
  // The failure the child reported, if it did.
  const std::optional<ProviderFailure>& failure() const { return failure_; }
  // The name of the table being received; empty between tables.
  std::string current_table() const { return table_ ? table_->name : std::string(); }
  // The tables received whole, in order.
  std::vector<std::shared_ptr<StoredTable>>& tables() { return tables_; }
  // The table being received, else the last one received; null before the
  // first. A reader that passes rows on may take them from it and clear
  // its rows (StoredTable::ClearRows) as they arrive.
  StoredTable* latest() const {
    return table_ ? table_.get() : tables_.empty() ? nullptr : tables_.back().get();
  }

 private:
  void Handle(uint8_t kind, std::string_view payload);
  // Stores the whole rows at the front of `bytes`; returns the bytes used.
  size_t TakeRows(std::string_view bytes);

  uint64_t max_bytes_;
  uint64_t total_ = 0;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t used_ = 0;
  bool in_message_ = false;
  uint8_t kind_ = 0;
  uint64_t left_ = 0;  // bytes of the current message not yet taken
  std::shared_ptr<StoredTable> table_;
  bool placed_ = false;   // its rows come with their places
  size_t cells_ = 0;      // cells per row: its loaded columns
  uint64_t taken_ = 0;    // its rows received
  std::vector<std::shared_ptr<StoredTable>> tables_;
  std::optional<ProviderFailure> failure_;
  bool finished_ = false;
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_ROW_STREAM_H_
