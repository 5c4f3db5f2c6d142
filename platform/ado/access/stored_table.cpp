#include "platform/ado/access/stored_table.h"

#include <algorithm>
#include <functional>

#include "platform/ado/oledate.h"

namespace tavrin::ado::access {

void StoredTable::NewBlock(size_t size) {
  constexpr size_t kBlockSize = 1 << 20;
  size = std::max(kBlockSize, size);
  if (blocks_.empty()) first_block_size_ = size;
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
  next_ = blocks_.back().get();
  block_free_ = size;
}

namespace {

constexpr uint32_t kNoRow = UINT32_MAX;

size_t HashOf(std::string_view cells) { return std::hash<std::string_view>()(cells); }

}  // namespace

void StoredTable::ShareAlikeRows() {
  alike_ = std::make_unique<std::vector<AlikeRow>>(1024, AlikeRow{kNoRow, 0});
  alike_count_ = 0;
}

void StoredTable::AddAlikeRow(std::string_view cells) {
  std::vector<AlikeRow>& set = *alike_;
  const size_t mask = set.size() - 1;
  size_t at = HashOf(cells) & mask;
  for (; set[at].row != kNoRow; at = (at + 1) & mask) {
    const AlikeRow& seen = set[at];
    // An empty row lies nowhere (null), which memcmp must not be given.
    if (std::string_view(rows_[seen.row], seen.size) == cells) {
      rows_.push_back(rows_[seen.row]);
      return;
    }
  }
  // A row too long to note, or a table too long to number, is stored alone.
  if (cells.size() > UINT32_MAX || rows_.size() >= kNoRow) return rows_.push_back(Store(cells));
  set[at] = {static_cast<uint32_t>(rows_.size()), static_cast<uint32_t>(cells.size())};
  rows_.push_back(Store(cells));
  if (++alike_count_ > kMostAlikeRows) {
    alike_.reset();
    return;
  }
  if (2 * alike_count_ <= set.size()) return;
  // Half full: twice the room, every row noted again.
  std::vector<AlikeRow> bigger(2 * set.size(), AlikeRow{kNoRow, 0});
  const size_t bigger_mask = bigger.size() - 1;
  for (const AlikeRow& seen : set) {
    if (seen.row == kNoRow) continue;
    size_t to = HashOf(std::string_view(rows_[seen.row], seen.size)) & bigger_mask;
    while (bigger[to].row != kNoRow) to = (to + 1) & bigger_mask;
    bigger[to] = seen;
  }
  set.swap(bigger);
}

void StoredTable::Finish() {
  alike_.reset();
  rows_.shrink_to_fit();
  places.shrink_to_fit();
}

void StoredTable::ClearRows() {
  rows_.clear();
  // The rows noted are gone.
  if (alike_) ShareAlikeRows();
  if (blocks_.empty()) return;
  blocks_.resize(1);
  next_ = blocks_[0].get();
  block_free_ = first_block_size_;
}

Variant CellValue(const StoredTable::Cell& c) {
  switch (c.tag) {
    case Tag::kText:
      return Variant::FromText(std::string(c.text));
    case Tag::kLong:
      return Variant::FromLong(static_cast<int32_t>(c.number));
    case Tag::kDouble:
      return Variant::FromDouble(c.number);
    case Tag::kDate:
      return Variant::FromDate(LinearToOleDate(c.number));
    case Tag::kNull:
      break;
  }
  return Variant();
}

void ReadCells(const char* p, std::vector<CellView>& cells) {
  for (CellView& view : cells) {
    const StoredTable::Cell cell = StoredTable::ReadCell(p);
    if (cell.tag == Tag::kText) {
      view.is_text = true;
      view.text = cell.text;
    } else {
      view = {false, {}, CellValue(cell)};
    }
  }
}

Variant StoredTable::Value(size_t row, size_t column) const { return CellValue(Get(row, column)); }

StoredResult::StoredResult(std::shared_ptr<const StoredTable> table, std::vector<uint32_t> order,
                           bool picked)
    : table_(std::move(table)), order_(std::move(order)), picked_(picked) {
  for (const auto& c : table_->columns) names_.push_back(c.name);
}

int64_t StoredResult::RowCount() const {
  return static_cast<int64_t>(picked_ ? order_.size() : table_->rows());
}

Variant StoredResult::Value(int64_t row, int column) {
  if (row < 0 || row >= RowCount() || column < 0 || column >= static_cast<int>(names_.size()))
    return Variant();
  const size_t r = picked_ ? order_[static_cast<size_t>(row)] : static_cast<size_t>(row);
  return table_->Value(r, static_cast<size_t>(column));
}

void StoredResult::ReadRow(int64_t row, std::vector<CellView>& cells) {
  const char* p = table_->RowStart(picked_ ? order_[static_cast<size_t>(row)] : static_cast<size_t>(row));
  cells.resize(names_.size());
  ReadCells(p, cells);
}

}  // namespace tavrin::ado::access
