#ifndef TAVRIN_TOOLS_JET4_WRITER_H_
#define TAVRIN_TOOLS_JET4_WRITER_H_

// A writer of Access database files from Access 97 to Access 2019, enough
// for test data and the demo: tables of Long, Integer, Double, Text, Memo and
// Date/Time columns, no indexes. Every file it writes reads back with libmdb
// and mdb-export.
//
// Rows go to disk as pages fill, so tables of any length (up to about 2 GB
// of file, 1 GB for Jet 3) need little memory. Text is UTF-8 here. Jet 4 and
// later store it as UTF-16, characters beyond U+FFFF as surrogate pairs,
// which libmdb 1.0 shows as '?'. Jet 3 stores it in Windows-1252 and refuses
// any character outside that code page.

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavrin::jet4 {

// The versions of the file format the writer produces. ACE 12 to 17 (Access
// 2007 to 2019, .accdb) are laid out as Jet 4 (Access 2000 to 2003) and differ
// in the header and in the sort order named for text; Jet 3 (Access 97) has
// pages of 2 KB and single-byte text.
enum class Format { kJet3, kJet4, kAce12, kAce14, kAce15, kAce16, kAce17 };

// The format named "jet3", "jet4", "ace12", "ace14", "ace15", "ace16" or
// "ace17" (in any ASCII case); nothing for another name.
std::optional<Format> ParseFormat(std::string_view name);

enum class ColumnType { kLong, kInteger, kDouble, kText, kMemo, kDateTime };

struct Column {
  std::string name;
  ColumnType type = ColumnType::kText;
  int text_chars = 255;  // kText only: the width in characters (1 to 255)
};

// An OLE automation date (days from 1899-12-30; see platform/oledate.h).
struct DateValue {
  double ole = 0.0;
  bool operator==(const DateValue&) const = default;
};

// A cell: NULL, an integer (Long, Integer), a double, UTF-8 text (Text,
// Memo) or a date.
using Value = std::variant<std::monostate, int64_t, double, std::string, DateValue>;

// Writes one file, table by table: BeginTable, AddRow..., EndTable for each
// table, then Finish. Calls out of that order throw std::logic_error. Not
// thread-safe.
class Writer {
 public:
  // Creates (or truncates) the file at `path`, to be written in `format`
  // whatever its name. Throws std::runtime_error.
  explicit Writer(const std::string& path, Format format = Format::kJet4);
  // Closes the file; without Finish() it is left incomplete, and the caller
  // should remove it.
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Starts a table; the previous one must have been ended. 1 to 255 columns;
  // table and column names of 1 to 64 characters (of Windows-1252 in Jet 3),
  // unique regardless of ASCII case. Throws std::invalid_argument for a bad
  // definition.
  void BeginTable(const std::string& name, const std::vector<Column>& columns);
  // Appends a row of exactly one value per column: std::monostate (NULL) in
  // any column; int64_t for Long and Integer; double (or int64_t) for Double;
  // std::string for Text and Memo; DateValue for Date/Time. Throws
  // std::invalid_argument, and writes nothing of the row, when a value does
  // not fit its column (wrong type, text longer than the column, integer out
  // of range, malformed UTF-8, a character outside Windows-1252 in Jet 3,
  // non-finite date), when the row with its inline parts exceeds what one
  // page holds (4080 bytes, 2036 in Jet 3) or, in Jet 3, for the rare row of
  // 255 variable columns that libmdb would misread (see PackRow).
  void AddRow(const std::vector<Value>& row);
  void EndTable();
  // Writes the system table and the header; the file is complete. Throws
  // std::runtime_error when the file cannot be written.
  void Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The 24 columns of table Org (data/org_info.h), in its order: "Record Number"
// Long, "Permanent Notes" Memo, the two event dates Date/Time, the other
// columns Text(255).
std::vector<Column> OrgColumns();

// `count` rows of realistic sample organizations for table Org, the same for
// the same seed: record numbers from 1, categories, counties, statuses, notes,
// some NULLs and dates.
std::vector<std::vector<Value>> SampleOrgRows(int count, uint32_t seed);

// Writes the Jet 4 file `path` with one table, Org, of SampleOrgRows(count,
// seed). Throws what Writer throws.
void WriteSampleOrgFile(const std::string& path, int count, uint32_t seed);

// The rows of SampleOrgRows(count, seed) one at a time, for tables too large
// to hold in memory: the first `count` calls of Next() give exactly those rows.
//
// kLong gives the shape of a table kept for years: texts of up to each
// column's 255 characters (long names, addresses and notes), a memo of 1 to
// 8 KiB in one row of ten, and non-ASCII text (accented Latin, which Jet
// stores compressed, and now and then Greek and Cyrillic, which it cannot). Each row
// still fits on one page.
enum class SampleShape { kShort, kLong };
class SampleOrgSource {
 public:
  explicit SampleOrgSource(uint32_t seed, SampleShape shape = SampleShape::kShort);
  std::vector<Value> Next();

 private:
  // Lengthens the row's texts and memo for the long shape.
  void Lengthen(std::vector<Value>& row);

  std::mt19937 rng_;
  SampleShape shape_;
  int64_t next_record_ = 1;
};

}  // namespace tavrin::jet4

#endif  // TAVRIN_TOOLS_JET4_WRITER_H_
