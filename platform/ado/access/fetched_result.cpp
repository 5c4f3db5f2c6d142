#include "platform/ado/access/fetched_result.h"

#include <cstring>
#include <new>

#include "platform/ado/access/failure.h"

namespace tavrin::ado::access {

FetchedResult::FetchedResult(std::shared_ptr<const StoredTable> keys, std::shared_ptr<const OpenAccessFile> file,
                             std::vector<uint32_t> order, std::unique_ptr<RowFetch> ahead, Env& env,
                             CancelCheck cancelled, ReaderOptions options)
    : keys_(std::move(keys)),
      file_(std::move(file)),
      order_(std::move(order)),
      ahead_(std::move(ahead)),
      env_(env),
      cancelled_(std::move(cancelled)),
      options_(std::move(options)) {
  for (const ColumnInfo& c : keys_->columns) names_.push_back(c.name);
}

FetchedResult::~FetchedResult() = default;

const char* FetchedResult::Row(int64_t row) {
  if (row == current_) return cells_.data();
  if (!fetch_ || row <= fetched_) {
    fetch_.reset();
    std::vector<uint64_t> places;
    places.reserve(order_.size() - static_cast<size_t>(row));
    for (size_t i = static_cast<size_t>(row); i < order_.size(); ++i) places.push_back(keys_->places[order_[i]]);
    fetch_ = ahead_ ? std::move(ahead_) : std::make_unique<RowFetch>(file_, keys_->name, env_, cancelled_, options_);
    fetch_->Ask(places);
    fetched_ = row - 1;
    columns_checked_ = false;
  }
  const char* cells = nullptr;
  try {
    while (fetched_ < row) {
      cells = fetch_->Next();
      ++fetched_;
    }
    Check(order_[static_cast<size_t>(row)], cells);
    // The rows handed out so far are of the version the query saw only if
    // the file is still unwritten now that the last of them has been read.
    if (row + 1 == RowCount() && !file_->Unchanged()) throw Changed(file_->path);
  } catch (...) {
    // What the reader holds is no longer known: start again next time.
    fetch_.reset();
    throw;
  }
  // A copy, so that the current row stays whole whatever a later read does.
  const char* end = cells;
  for (size_t c = 0; c < keys_->columns.size(); ++c) end = StoredTable::Skip(end);
  cells_.assign(cells, static_cast<size_t>(end - cells));
  current_ = row;
  return cells_.data();
}

void FetchedResult::Check(uint32_t number, const char* cells) {
  const std::vector<ColumnInfo>& columns = fetch_->columns();
  bool same = columns_checked_ || columns.size() == keys_->columns.size();
  for (size_t c = 0; same && !columns_checked_ && c < columns.size(); ++c)
    same = columns[c].name == keys_->columns[c].name && columns[c].declared == keys_->columns[c].declared;
  columns_checked_ = same;
  const char* key = keys_->RowStart(number);
  for (size_t c = 0; same && c < columns.size(); ++c) {
    const StoredTable::Cell got = StoredTable::ReadCell(cells);
    if (!keys_->columns[c].loaded) continue;
    const StoredTable::Cell want = StoredTable::ReadCell(key);
    same = got.tag == want.tag && got.text == want.text &&
           std::memcmp(&got.number, &want.number, sizeof got.number) == 0;
  }
  if (same) return;
  if (!file_->Unchanged()) throw Changed(file_->path);
  throw Damaged(keys_->name, "it was changed while it was being read.");
}

void FetchedResult::Fetch(int64_t row, std::vector<ErrorEntry>* errors) {
  try {
    Row(row);
  } catch (const ProviderFailure& f) {
    ThrowAsComError(errors, f);
  } catch (const std::bad_alloc&) {
    ThrowAsComError(errors, {kEOutOfMemory, "The database reader ran out of memory.", {}});
  }
}

Variant FetchedResult::Value(int64_t row, int column) {
  if (row < 0 || row >= RowCount() || column < 0 || column >= static_cast<int>(names_.size())) return Variant();
  std::vector<ErrorEntry> errors;
  Fetch(row, &errors);
  const char* p = cells_.data();
  for (int c = 0; c < column; ++c) p = StoredTable::Skip(p);
  return CellValue(StoredTable::ReadCell(p));
}

void FetchedResult::ReadRow(int64_t row, std::vector<CellView>& cells) {
  std::vector<ErrorEntry> errors;
  Fetch(row, &errors);
  cells.resize(names_.size());
  ReadCells(cells_.data(), cells);
}

}  // namespace tavrin::ado::access
