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
  // False for a column of a table read only in part (see StoredTable):
  // its rows hold no cell for it.
  bool loaded = true;
};

// One row being built in the cell format of StoredTable: per column a tag,
// then 8 bytes of number, or a 4-byte length and the text. Inline: the
// reader calls it for every cell of every row. Thread-compatible.
class RowBuilder {
 public:
  void AddNull() { row_.push_back(static_cast<char>(Tag::kNull)); }
  void AddNumber(Tag tag, double value) {
    row_.push_back(static_cast<char>(tag));
    row_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  // Throws std::length_error for a text of 4 GiB or more.
  void AddText(std::string_view text) {
    if (text.size() > std::numeric_limits<uint32_t>::max()) throw std::length_error("value too large");
    const auto size = static_cast<uint32_t>(text.size());
    row_.push_back(static_cast<char>(Tag::kText));
    row_.append(reinterpret_cast<const char*>(&size), sizeof size);
    row_.append(text);
  }
  std::string_view cells() const { return row_; }
  void Clear() { row_.clear(); }

 private:
  std::string row_;
};

// A table or a result. Each row is one run of cells (see RowBuilder) kept in
// large blocks that never move, so reading a row's fields touches one place
// in memory whatever order the rows are read in. Numbers are doubles; dates
// are on the linear day scale of oledate.h. A table read in part holds cells
// for its loaded columns only, and may carry each row's place in the file
// (`places`). Built by one thread, then read by any number.
class StoredTable {
 public:
  std::string name;
  std::vector<ColumnInfo> columns;
  // Where each row lies in its file, for reading it again (empty when not
  // known): the page number shifted left by 16, or'ed with the row's slot.
  std::vector<uint64_t> places;

  size_t rows() const { return rows_.size(); }
  // The number of cells a row holds: its loaded columns.
  size_t LoadedColumns() const {
    size_t n = 0;
    for (const ColumnInfo& c : columns) n += c.loaded;
    return n;
  }

  // Appends a row of cells, one per column in column order (a RowBuilder's,
  // or bytes that RowLength accepted). Inline: called for every row.
  void AddRow(std::string_view cells) {
    if (alike_) return AddAlikeRow(cells);
    rows_.push_back(Store(cells));
  }
  // From now on a row whose cells are byte for byte those of an earlier row
  // shares that row's bytes instead of holding a copy: for a table of a few
  // columns whose values repeat (a status, a category). The rows stored
  // before are not shared. Once more than kMostAlikeRows different rows have
  // come, the table forgets them and stores every row on its own again: its
  // rows seldom repeat, and remembering them would cost more than it saves.
  void ShareAlikeRows();
  static constexpr size_t kMostAlikeRows = 32768;
  // Gives back the memory kept for building rows; call after the last row.
  void Finish();
  // Forgets every row but keeps one block for the next ones: for a table
  // that only passes rows on.
  void ClearRows();

  // The length of the row of `columns` cells that starts `bytes`, or kBadRow
  // when they do not hold such a row whole (an unknown tag, a text running
  // past the end, a long that is no 32-bit integer). Checks bytes from outside before AddRow stores them.
  static constexpr size_t kBadRow = static_cast<size_t>(-1);
  static size_t RowLength(std::string_view bytes, size_t columns) {
    size_t at = 0;
    for (size_t c = 0; c < columns; ++c) {
      if (at >= bytes.size()) return kBadRow;
      const auto tag = static_cast<Tag>(bytes[at++]);
      if (tag == Tag::kNull) continue;
      if (tag == Tag::kText) {
        uint32_t size;
        if (bytes.size() - at < sizeof size) return kBadRow;
        std::memcpy(&size, bytes.data() + at, sizeof size);
        at += sizeof size;
        if (bytes.size() - at < size) return kBadRow;
        at += size;
      } else if (tag == Tag::kLong || tag == Tag::kDouble || tag == Tag::kDate) {
        if (bytes.size() - at < sizeof(double)) return kBadRow;
        if (tag == Tag::kLong) {
          // Read back as a 32-bit integer, which a number beyond its range
          // or NaN cannot become.
          double value;
          std::memcpy(&value, bytes.data() + at, sizeof value);
          if (!(value >= INT32_MIN && value <= INT32_MAX) || value != static_cast<double>(static_cast<int32_t>(value)))
            return kBadRow;
        }
        at += sizeof(double);
      } else {
        return kBadRow;
      }
    }
    return at;
  }

  struct Cell {
    Tag tag = Tag::kNull;
    double number = 0;
    std::string_view text;  // valid as long as the table
  };
  // Cell `column` (a loaded one) of row `row`; both must be in range.
  Cell Get(size_t row, size_t column) const {
    const char* p = rows_[row];
    for (size_t c = 0; c < column; ++c)
      if (columns[c].loaded) p = Skip(p);
    return ReadCell(p);
  }

  // Where row `row` (in range) starts: its cells follow one another, each
  // read with ReadCell, one pass where Get starts again at every cell.
  const char* RowStart(size_t row) const { return rows_[row]; }
  // The cell at `p`, which then moves past it.
  static Cell ReadCell(const char*& p) {
    Cell cell;
    cell.tag = static_cast<Tag>(*p++);
    if (cell.tag == Tag::kText) {
      uint32_t size;
      std::memcpy(&size, p, sizeof size);
      cell.text = std::string_view(p + sizeof size, size);
      p += sizeof size + size;
    } else if (cell.tag != Tag::kNull) {
      std::memcpy(&cell.number, p, sizeof cell.number);
      p += sizeof cell.number;
    }
    return cell;
  }

  // The cell as a variant: dates back on the OLE scale.
  Variant Value(size_t row, size_t column) const;

 private:
  // Copies `cells` into the blocks; returns where.
  const char* Store(std::string_view cells) {
    if (cells.size() > block_free_) NewBlock(cells.size());
    char* at = next_;
    if (!cells.empty()) std::memcpy(at, cells.data(), cells.size());
    next_ += cells.size();
    block_free_ -= cells.size();
    return at;
  }
  // Starts a block that holds at least `size` bytes.
  void NewBlock(size_t size);
  void AddAlikeRow(std::string_view cells);

 public:
  // Past the cell at `p`.
  static const char* Skip(const char* p) {
    const auto tag = static_cast<Tag>(*p++);
    if (tag == Tag::kNull) return p;
    if (tag != Tag::kText) return p + sizeof(double);
    uint32_t size;
    std::memcpy(&size, p, sizeof size);
    return p + sizeof size + size;
  }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t first_block_size_ = 0;
  size_t block_free_ = 0;
  char* next_ = nullptr;  // where the next row goes
  std::vector<const char*> rows_;
  // The different rows seen since ShareAlikeRows, while it lasts: a hash
  // set, open addressing, of a row's number and length.
  struct AlikeRow {
    uint32_t row;
    uint32_t size;
  };
  std::unique_ptr<std::vector<AlikeRow>> alike_;
  size_t alike_count_ = 0;
};

// A stored cell as a variant: dates back on the OLE scale.
Variant CellValue(const StoredTable::Cell& cell);
// The cells of a whole row at `p` (from RowStart, or bytes that RowLength
// accepted), one per element of `cells`; text as views into the row.
void ReadCells(const char* p, std::vector<CellView>& cells);

// A result: the rows of a stored table, all in order, or (`picked`) those
// that `order` lists, in its order. Shares the table; immutable.
class StoredResult : public ResultSet {
 public:
  StoredResult(std::shared_ptr<const StoredTable> table, std::vector<uint32_t> order, bool picked);
  int64_t RowCount() const override;
  const std::vector<std::string>& Columns() const override { return names_; }
  Variant Value(int64_t row, int column) override;
  // Text cells as views into the table.
  void ReadRow(int64_t row, std::vector<CellView>& cells) override;

 private:
  std::shared_ptr<const StoredTable> table_;
  std::vector<uint32_t> order_;
  bool picked_;
  std::vector<std::string> names_;
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_STORED_TABLE_H_
