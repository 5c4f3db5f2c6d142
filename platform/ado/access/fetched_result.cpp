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
    fetch_->Ask(places, read_);
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
  for (const ColumnInfo& c : fetch_->columns())
    if (c.loaded) end = StoredTable::Skip(end);
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
    if (!keys_->columns[c].loaded) {
      if (columns[c].loaded) cells = StoredTable::Skip(cells);
      continue;
    }
    // Every column the query named is read again (LimitColumns).
    same = columns[c].loaded;
    if (!same) break;
    const StoredTable::Cell got = StoredTable::ReadCell(cells);
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

void FetchedResult::LimitColumns(const std::vector<bool>& read) {
  // The row held was read with the columns of its reading.
  if (fetch_ || current_ >= 0 || read.size() != names_.size()) return;
  read_ = read;
  bool all = true;
  for (size_t c = 0; c < read_.size(); ++c) {
    read_[c] = read_[c] || keys_->columns[c].loaded;
    all = all && read_[c];
  }
  if (all) read_.clear();
}

Variant FetchedResult::Value(int64_t row, int column) {
  if (row < 0 || row >= RowCount() || column < 0 || column >= static_cast<int>(names_.size())) return Variant();
  std::vector<ErrorEntry> errors;
  Fetch(row, &errors);
  const auto wanted = static_cast<size_t>(column);
  if (!read_.empty() && !read_[wanted]) return Variant();
  const char* p = cells_.data();
  for (size_t c = 0; c < wanted; ++c)
    if (read_.empty() || read_[c]) p = StoredTable::Skip(p);
  return CellValue(StoredTable::ReadCell(p));
}

void FetchedResult::ReadRow(int64_t row, std::vector<CellView>& cells) {
  std::vector<ErrorEntry> errors;
  Fetch(row, &errors);
  cells.resize(names_.size());
  if (read_.empty()) return ReadCells(cells_.data(), cells);
  const char* p = cells_.data();
  for (size_t c = 0; c < cells.size(); ++c) {
    if (!read_[c]) {
      cells[c] = CellView{};
      continue;
    }
    const StoredTable::Cell cell = StoredTable::ReadCell(p);
    if (cell.tag == Tag::kText) cells[c] = {true, cell.text, {}};
    else cells[c] = {false, {}, CellValue(cell)};
  }
}

}  // namespace tavrin::ado::access
