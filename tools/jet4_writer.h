#ifndef TAVRIN_TOOLS_JET4_WRITER_H_
#define TAVRIN_TOOLS_JET4_WRITER_H_

// A writer of Access 2000 (Jet 4) database files, enough for test data and
// the demo: tables of Long, Integer, Double, Text, Memo and Date/Time columns,
// no indexes. Every file it writes reads back with libmdb and mdb-export.

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace tavrin::jet4 {

enum class ColumnType { kLong, kInteger, kDouble, kText, kMemo, kDateTime };

struct Column {
  std::string name;
  ColumnType type = ColumnType::kText;
  int text_chars = 255;  // kText only: the width in characters (1 to 255)
};

// An OLE automation date (days from 1899-12-30; see platform/oledate.h).
struct DateValue {
  double ole = 0.0;
};

// A cell: NULL, an integer (Long, Integer), a double, UTF-8 text (Text,
// Memo) or a date.
using Value = std::variant<std::monostate, int64_t, double, std::string, DateValue>;

// Writes one file, table by table. Not thread-safe.
class Writer {
 public:
  // Creates (or truncates) the file at `path`. Throws std::runtime_error.
  explicit Writer(const std::string& path);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Starts a table; the previous one must have been ended. At most 255
  // columns. Throws std::invalid_argument for a bad definition.
  void BeginTable(const std::string& name, const std::vector<Column>& columns);
  // Appends a row of exactly one value per column. Throws
  // std::invalid_argument when a value does not fit its column (wrong type,
  // text longer than the column, integer out of range).
  void AddRow(const std::vector<Value>& row);
  void EndTable();
  // Writes the system table and the header; the file is complete. Throws
  // std::runtime_error when the file cannot be written.
  void Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The 24 columns of table Org in their order.
std::vector<Column> OrgColumns();

// `count` rows of realistic sample organizations for table Org, the same for
// the same seed: record numbers from 1, categories, counties, statuses, notes,
// some NULLs and dates.
std::vector<std::vector<Value>> SampleOrgRows(int count, uint32_t seed);

}  // namespace tavrin::jet4

#endif  // TAVRIN_TOOLS_JET4_WRITER_H_
