#ifndef TAVRIN_PLATFORM_ADO_ACCESS_STORED_TABLE_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_STORED_TABLE_H_

// Tables and query results held in memory, compactly and row by row.

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/provider.h"

namespace tavrin::ado::access {

// The kind of a stored value.
enum class Tag : uint8_t { kNull, kText, kLong, kDouble, kDate };

struct ColumnInfo {
  std::string name;
  Tag declared;  // the kind the column's values take (a value may still be null)
};

// A table or a result. Each row is one run of cells (a tag, then 8 bytes of
// number, or a 4-byte length and the text) kept in large blocks that never
// move, so reading a row's fields touches one place in memory whatever order
// the rows are read in. Numbers are doubles; dates are on the linear day
// scale of oledate.h. Built by one thread, then read by any number.
class StoredTable {
 public:
  std::string name;
  std::vector<ColumnInfo> columns;

  size_t rows() const { return rows_.size(); }

  // Building a row: one Add per column, in column order, then EndRow.
  // AddText throws std::length_error for a text of 4 GiB or more.
  // Inline: the reader calls them for every cell of every row.
  void AddNull() { row_.push_back(static_cast<char>(Tag::kNull)); }
  void AddNumber(Tag tag, double value) {
    row_.push_back(static_cast<char>(tag));
    row_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void AddText(std::string_view text) {
    if (text.size() > std::numeric_limits<uint32_t>::max()) throw std::length_error("value too large");
    const auto size = static_cast<uint32_t>(text.size());
    row_.push_back(static_cast<char>(Tag::kText));
    row_.append(reinterpret_cast<const char*>(&size), sizeof size);
    row_.append(text);
  }
  void EndRow() {
    if (row_.size() > block_free_) NewBlock();
    if (!row_.empty()) std::memcpy(next_, row_.data(), row_.size());
    rows_.push_back(next_);
    next_ += row_.size();
    block_free_ -= row_.size();
    row_.clear();
  }
  // Gives back the memory kept for building rows; call after the last row.
  void Finish();

  struct Cell {
    Tag tag = Tag::kNull;
    double number = 0;
    std::string_view text;  // valid as long as the table
  };
  // Cell `column` of row `row`; both must be in range.
  Cell Get(size_t row, size_t column) const {
    const char* p = rows_[row];
    for (size_t c = 0; c < column; ++c) p = Skip(p);
    Cell cell;
    cell.tag = static_cast<Tag>(*p++);
    if (cell.tag == Tag::kText) {
      uint32_t size;
      std::memcpy(&size, p, sizeof size);
      cell.text = std::string_view(p + sizeof size, size);
    } else if (cell.tag != Tag::kNull) {
      std::memcpy(&cell.number, p, sizeof cell.number);
    }
    return cell;
  }

  // The cell as a variant: dates back on the OLE scale.
  Variant Value(size_t row, size_t column) const;

 private:
  // Starts a block that holds at least the row being built.
  void NewBlock();
  static const char* Skip(const char* p) {
    const auto tag = static_cast<Tag>(*p++);
    if (tag == Tag::kNull) return p;
    if (tag != Tag::kText) return p + sizeof(double);
    uint32_t size;
    std::memcpy(&size, p, sizeof size);
    return p + sizeof size + size;
  }

  std::string row_;  // the row being built
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_free_ = 0;
  char* next_ = nullptr;  // where the next row goes
  std::vector<const char*> rows_;
};

// A result: the rows of a stored table, all in order, or (`picked`) those
// that `order` lists, in its order. Shares the table; immutable.
class StoredResult : public ResultSet {
 public:
  StoredResult(std::shared_ptr<const StoredTable> table, std::vector<uint32_t> order, bool picked);
  int64_t RowCount() const override;
  const std::vector<std::string>& Columns() const override { return names_; }
  Variant Value(int64_t row, int column) const override;

 private:
  std::shared_ptr<const StoredTable> table_;
  std::vector<uint32_t> order_;
  bool picked_;
  std::vector<std::string> names_;
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_STORED_TABLE_H_
