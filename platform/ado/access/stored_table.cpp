#include "platform/ado/access/stored_table.h"

#include <algorithm>

#include "platform/ado/oledate.h"

namespace tavrin::ado::access {

void StoredTable::NewBlock(size_t size) {
  constexpr size_t kBlockSize = 1 << 20;
  size = std::max(kBlockSize, size);
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
  next_ = blocks_.back().get();
  block_free_ = size;
}

void StoredTable::Finish() { rows_.shrink_to_fit(); }

Variant StoredTable::Value(size_t row, size_t column) const {
  const Cell c = Get(row, column);
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

StoredResult::StoredResult(std::shared_ptr<const StoredTable> table, std::vector<uint32_t> order,
                           bool picked)
    : table_(std::move(table)), order_(std::move(order)), picked_(picked) {
  for (const auto& c : table_->columns) names_.push_back(c.name);
}

int64_t StoredResult::RowCount() const {
  return static_cast<int64_t>(picked_ ? order_.size() : table_->rows());
}

Variant StoredResult::Value(int64_t row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 || column >= static_cast<int>(names_.size()))
    return Variant();
  const size_t r = picked_ ? order_[static_cast<size_t>(row)] : static_cast<size_t>(row);
  return table_->Value(r, static_cast<size_t>(column));
}

}  // namespace tavrin::ado::access
