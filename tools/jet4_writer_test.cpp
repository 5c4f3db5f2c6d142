// Round trips through the two readers that matter: libmdb, called directly,
// and the mdb-export command. Anything either prints on standard error fails.

#include "tools/jet4_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mdbtools.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "data/org_info.h"
#include "platform/ado/access/access_header.h"
#include "platform/ado/oledate.h"
#include "platform/text/utf8.h"

namespace tavrin::jet4 {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "jet4-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / program;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return "";
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program without a shell, its outputs captured in files.
RunResult RunProgram(const std::vector<std::string>& argv, const TempDir& dir) {
  const std::string out = dir / "run.out", err = dir / "run.err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(o, 1);
    ::dup2(e, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), ReadAll(out), ReadAll(err)};
}

// A table as read back: one text per cell, nullopt for NULL (or, through
// libmdb, an empty text: the bind API does not tell them apart).
using Cells = std::vector<std::vector<std::optional<std::string>>>;

constexpr const char* kDateFormat = "%Y-%m-%d %H:%M:%S";

// mdb-export's CSV: text quoted with doubled quotes, NULL as an empty cell.
Cells ParseExport(const std::string& csv) {
  Cells rows;
  std::vector<std::optional<std::string>> row;
  std::string cell;
  bool quoted = false, in_quotes = false, header = true;
  auto end_cell = [&] {
    if (quoted || !cell.empty()) row.push_back(cell);
    else row.push_back(std::nullopt);
    cell.clear();
    quoted = false;
  };
  for (size_t i = 0; i < csv.size(); ++i) {
    const char c = csv[i];
    if (in_quotes) {
      if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"') cell += csv[++i];
      else if (c == '"') in_quotes = false;
      else cell += c;
    } else if (c == '"') {
      in_quotes = quoted = true;
    } else if (c == ',') {
      end_cell();
    } else if (c == '\n') {
      end_cell();
      if (!header) rows.push_back(row);
      header = false;
      row.clear();
    } else {
      cell += c;
    }
  }
  return rows;
}

// mdb-export's CSV of a table, dates as kDateFormat.
std::string ExportText(const std::string& mdb, const std::string& table) {
  static const std::string binary = FindOnPath("mdb-export");
  EXPECT_FALSE(binary.empty()) << "mdb-export is not on PATH";
  TempDir dir;
  const RunResult r = RunProgram({binary, "-T", kDateFormat, mdb, table}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "") << "mdb-export on " << table;
  return r.out;
}

Cells Export(const std::string& mdb, const std::string& table) { return ParseExport(ExportText(mdb, table)); }

// Points standard error at a file while alive and hands over what was written.
class StderrCapture {
 public:
  explicit StderrCapture(const TempDir& dir) : path_(dir / "stderr") {
    std::fflush(stderr);
    saved_ = ::dup(2);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() { Release(); }
  std::string Release() {
    if (saved_ < 0) return "";
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
    return ReadAll(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

struct LibmdbTable {
  Cells cells;
  std::vector<std::vector<double>> raw_dates;  // per row, the stored doubles of the date columns
};

// Reads a whole table through libmdb's bind API, texts up to `bind_size`
// bytes (the long memos of these tests included).
LibmdbTable ReadWithLibmdb(const std::string& path, const std::string& name, size_t bind_size = 200000) {
  LibmdbTable result;
  TempDir dir;
  StderrCapture capture(dir);
  MdbHandle* mdb = mdb_open(path.c_str(), MDB_NOFLAGS);
  if (!mdb) {
    ADD_FAILURE() << "mdb_open failed: " << capture.Release();
    return result;
  }
  mdb_set_bind_size(mdb, bind_size);
  mdb_set_date_fmt(mdb, kDateFormat);
  mdb_read_catalog(mdb, MDB_TABLE);
  std::string table_name = name;
  MdbTableDef* table = mdb_read_table_by_name(mdb, table_name.data(), MDB_TABLE);
  if (!table) {
    mdb_close(mdb);
    ADD_FAILURE() << "no table " << name << ": " << capture.Release();
    return result;
  }
  mdb_read_columns(table);
  mdb_rewind_table(table);
  const unsigned ncols = table->num_cols;
  std::vector<std::vector<char>> buffers(ncols, std::vector<char>(bind_size));
  std::vector<int> lengths(ncols);
  for (unsigned i = 0; i < ncols; ++i) mdb_bind_column(table, static_cast<int>(i + 1), buffers[i].data(), &lengths[i]);
  while (mdb_fetch_row(table)) {
    std::vector<std::optional<std::string>> row;
    std::vector<double> dates;
    for (unsigned i = 0; i < ncols; ++i) {
      if (lengths[i] > 0) row.emplace_back(std::string(buffers[i].data(), static_cast<size_t>(lengths[i])));
      else row.emplace_back(std::nullopt);
      const auto* col = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, i));
      if (col->col_type == MDB_DATETIME)
        dates.push_back(col->cur_value_len ? mdb_get_double(mdb->pg_buf, col->cur_value_start) : NAN);
    }
    result.cells.push_back(std::move(row));
    result.raw_dates.push_back(std::move(dates));
  }
  mdb_free_tabledef(table);
  mdb_close(mdb);
  EXPECT_EQ(capture.Release(), "") << "libmdb on " << name;
  return result;
}

// The text both readers print for a value (dates from 1899-12-30 on only).
std::optional<std::string> Expected(const Value& v) {
  if (std::holds_alternative<std::monostate>(v)) return std::nullopt;
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  if (const auto* s = std::get_if<std::string>(&v)) return s->empty() ? std::nullopt : std::optional(*s);
  if (const auto* d = std::get_if<DateValue>(&v)) {
    const std::tm t = *OleDateToTm(d->ole);
    char buf[32];
    std::strftime(buf, sizeof buf, kDateFormat, &t);
    return std::string(buf);
  }
  return std::nullopt;
}

std::vector<double> RawDates(const std::vector<Value>& row) {
  std::vector<double> out;
  for (const Value& v : row) {
    if (const auto* d = std::get_if<DateValue>(&v)) out.push_back(d->ole);
  }
  return out;
}

void WriteTable(const std::string& path, const std::string& name, const std::vector<Column>& columns,
                const std::vector<std::vector<Value>>& rows, Format format = Format::kJet4) {
  Writer w(path, format);
  w.BeginTable(name, columns);
  for (const auto& r : rows) w.AddRow(r);
  w.EndTable();
  w.Finish();
}

// Checks every cell of `rows` through both readers.
void ExpectRoundTrip(const std::string& path, const std::string& table, const std::vector<std::vector<Value>>& rows) {
  const LibmdbTable lib = ReadWithLibmdb(path, table);
  const Cells exported = Export(path, table);
  ASSERT_EQ(lib.cells.size(), rows.size());
  ASSERT_EQ(exported.size(), rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    ASSERT_EQ(lib.cells[r].size(), rows[r].size());
    ASSERT_EQ(exported[r].size(), rows[r].size()) << "row " << r;
    for (size_t c = 0; c < rows[r].size(); ++c) {
      const Value& v = rows[r][c];
      if (const auto* d = std::get_if<DateValue>(&v); d && d->ole < 0) continue;  // checked raw below
      EXPECT_EQ(lib.cells[r][c], Expected(v)) << "libmdb, row " << r << " column " << c;
      EXPECT_EQ(exported[r][c], Expected(v)) << "mdb-export, row " << r << " column " << c;
    }
    const std::vector<double> want = RawDates(rows[r]);
    std::vector<double> got;
    for (double d : lib.raw_dates[r])
      if (!std::isnan(d)) got.push_back(d);
    EXPECT_EQ(got, want) << "row " << r;
  }
}

TEST(Jet4WriterTest, OrgTablesOfSeveralSizesReadBackCellForCell) {
  TempDir dir;
  for (int count : {0, 1, 3, 1000}) {
    SCOPED_TRACE(count);
    const auto rows = SampleOrgRows(count, 7);
    const std::string path = dir / ("org" + std::to_string(count) + ".mdb");
    WriteTable(path, "Org", OrgColumns(), rows);
    ExpectRoundTrip(path, "Org", rows);
  }
}

// The position of the Org column `name` in a row.
size_t Col(std::string_view name) {
  for (size_t i = 0; i < kOrgColumns.size(); ++i)
    if (kOrgColumns[i].name == name) return i;
  ADD_FAILURE() << "no column " << name;
  return 0;
}

TEST(Jet4WriterTest, OrgColumnsAreInReadingOrder) {
  TempDir dir;
  WriteTable(dir / "a.mdb", "Org", OrgColumns(), {});
  const Cells header = ParseExport("x\n" + RunProgram({FindOnPath("mdb-export"), dir / "a.mdb", "Org"}, dir).out);
  ASSERT_EQ(header.size(), 1u);
  ASSERT_EQ(header[0].size(), 24u);
  for (size_t i = 0; i < kOrgColumns.size(); ++i) EXPECT_EQ(*header[0][i], kOrgColumns[i].name);
  EXPECT_EQ(*header[0][0], "Record Number");
  EXPECT_EQ(*header[0][7], "Town\\City");
}

std::string Repeat(const std::string& unit, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += unit;
  return s;
}

TEST(Jet4WriterTest, AwkwardTextsMemosAndNullsSurvive) {
  std::vector<std::string> texts = {
      "caf\xC3\xA9 M\xC3\xBCller \xE2\x82\xAC 5",             // é ü €
      "\xE5\x8C\x97\xE4\xBA\xAC\xE5\xB8\x82\xE5\xAD\xA6\xE6\xA0\xA1",  // Chinese
      "say \"hi\", then, \"bye\"",
      "line one\nline two\r\nline three",
      "tab\there\tand\tthere",
      "  leading and trailing  ",
      Repeat("x", 255),
      Repeat("\xE4\xB8\xAD", 255),                           // 255 Chinese characters
      "mixed \xE4\xB8\xAD text \xC4\x80 with U+0100",         // a unit with low byte 0
      "A\xC3\xA9\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD bc",
  };
  std::vector<std::string> memos = {
      "short memo",
      Repeat("0123456789", 7),                                 // just past inline
      Repeat("memo text, ", 300),                              // one LVAL row
      Repeat("abcdefg", 10000) + "end",                        // 70,003 characters, a chain
      Repeat("\xE2\x82\xAC", 1500),                            // uncompressed, two LVAL rows
      Repeat("\xE4\xB8\xAD", 2038),                            // exactly one full chunk of 4076 bytes
      Repeat("y", 4080),                                        // exactly one LVAL row
  };
  std::vector<std::vector<Value>> rows;
  int64_t number = 1;
  for (size_t i = 0; i < std::max(texts.size(), memos.size()); ++i) {
    auto r = SampleOrgRows(1, static_cast<uint32_t>(i))[0];
    r[0] = number++;
    r[5] = texts[i % texts.size()];
    r[6] = memos[i % memos.size()];
    rows.push_back(r);
  }
  // NULL in each column in turn, then a row of nothing but NULLs.
  for (size_t c = 0; c < 24; ++c) {
    auto r = SampleOrgRows(1, 99)[0];
    r[0] = number++;
    r[6] = std::string("memo");
    r[22] = DateValue{1.5};
    r[c] = std::monostate{};
    rows.push_back(r);
  }
  rows.emplace_back(24);
  TempDir dir;
  WriteTable(dir / "awkward.mdb", "Org", OrgColumns(), rows);
  ExpectRoundTrip(dir / "awkward.mdb", "Org", rows);
}

TEST(Jet4WriterTest, DatesAreStoredAsOleDays) {
  const double march = *OleDateOf(2024, 3, 5, 14, 7, 9);
  std::vector<std::vector<Value>> rows;
  for (double d : {-1.25, 0.0, march}) {
    std::vector<Value> r(24);
    r[0] = int64_t{static_cast<int64_t>(rows.size() + 1)};
    r[22] = DateValue{d};
    r[23] = DateValue{d};
    rows.push_back(r);
  }
  TempDir dir;
  WriteTable(dir / "dates.mdb", "Org", OrgColumns(), rows);
  ExpectRoundTrip(dir / "dates.mdb", "Org", rows);
  const LibmdbTable lib = ReadWithLibmdb(dir / "dates.mdb", "Org");
  ASSERT_EQ(lib.raw_dates.size(), 3u);
  EXPECT_EQ(lib.raw_dates[0], (std::vector<double>{-1.25, -1.25}));
  EXPECT_EQ(lib.cells[1][22], "1899-12-30 00:00:00");
  EXPECT_EQ(lib.cells[2][23], "2024-03-05 14:07:09");
}

TEST(Jet4WriterTest, SeveralTablesInOneFile) {
  const std::vector<Column> other = {{"Id", ColumnType::kLong},
                                     {"Small", ColumnType::kInteger},
                                     {"Ratio", ColumnType::kDouble},
                                     {"Code", ColumnType::kText, 10},
                                     {"Note", ColumnType::kMemo},
                                     {"When", ColumnType::kDateTime}};
  const std::vector<std::vector<Value>> other_rows = {
      {int64_t{-2147483648LL}, int64_t{-32768}, 2.5, std::string("0123456789"), std::string("n"), DateValue{45000.5}},
      {int64_t{2147483647}, int64_t{32767}, std::monostate{}, std::string("\xE2\x82\xAC"), std::monostate{}, std::monostate{}},
  };
  const std::vector<Column> fixed_only = {{"A", ColumnType::kLong}, {"B", ColumnType::kDateTime}};
  const std::vector<std::vector<Value>> fixed_rows = {{int64_t{1}, DateValue{2.0}}, {std::monostate{}, std::monostate{}}};
  const auto org = SampleOrgRows(300, 1);
  TempDir dir;
  const std::string path = dir / "multi.mdb";
  {
    Writer w(path);
    w.BeginTable("Org", OrgColumns());
    for (const auto& r : org) w.AddRow(r);
    w.EndTable();
    w.BeginTable("Other Table", other);
    for (const auto& r : other_rows) w.AddRow(r);
    w.EndTable();
    w.BeginTable("Fixed", fixed_only);
    for (const auto& r : fixed_rows) w.AddRow(r);
    w.EndTable();
    w.BeginTable("Empty", other);
    w.EndTable();
    w.Finish();
  }
  ExpectRoundTrip(path, "Org", org);
  ExpectRoundTrip(path, "Fixed", fixed_rows);
  ExpectRoundTrip(path, "Empty", {});
  const LibmdbTable lib = ReadWithLibmdb(path, "Other Table");
  ASSERT_EQ(lib.cells.size(), 2u);
  EXPECT_EQ(lib.cells[0][0], "-2147483648");
  EXPECT_EQ(lib.cells[0][1], "-32768");
  EXPECT_NEAR(std::stod(*lib.cells[0][2]), 2.5, 1e-12);
  EXPECT_EQ(lib.cells[0][3], "0123456789");
  EXPECT_EQ(lib.cells[1][0], "2147483647");
  EXPECT_EQ(lib.cells[1][2], std::nullopt);
  EXPECT_EQ(lib.cells[1][3], "\xE2\x82\xAC");
  EXPECT_EQ(Export(path, "Other Table").size(), 2u);
}

TEST(Jet4WriterTest, WideTableDefinitionSpansPages) {
  std::vector<Column> columns;
  for (int i = 0; i < 200; ++i) columns.push_back({"Column number " + std::to_string(i), i % 2 ? ColumnType::kLong : ColumnType::kText, 20});
  std::vector<std::vector<Value>> rows(3);
  for (size_t r = 0; r < rows.size(); ++r)
    for (int i = 0; i < 200; ++i)
      rows[r].push_back(i % 2 ? Value{int64_t{i}} : Value{std::string("v") + std::to_string(r)});
  TempDir dir;
  WriteTable(dir / "wide.mdb", "Wide", columns, rows);
  ExpectRoundTrip(dir / "wide.mdb", "Wide", rows);
}

TEST(Jet4WriterTest, ValuesThatDoNotFitAreRefusedAndLeaveNoTrace) {
  TempDir dir;
  Writer w(dir / "refused.mdb");
  w.BeginTable("T", {{"L", ColumnType::kLong},
                     {"I", ColumnType::kInteger},
                     {"S", ColumnType::kText, 5},
                     {"D", ColumnType::kDateTime},
                     {"M", ColumnType::kMemo}});
  const Value null;
  auto row = [](Value l, Value i, Value s, Value d = Value{}, Value m = Value{}) {
    return std::vector<Value>{l, i, s, d, m};
  };
  const std::vector<std::vector<Value>> refused = {
      row(int64_t{2147483648LL}, null, null),
      row(int64_t{-2147483649LL}, null, null),
      row(null, int64_t{32768}, null),
      row(std::string("1"), null, null),
      row(null, null, int64_t{1}),
      row(null, null, std::string("123456")),
      row(null, null, std::string("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC")),
      row(null, null, std::string("\xC3")),  // truncated UTF-8
      row(null, null, null, 1.0),             // a plain double is not a date
      row(null, null, null, DateValue{NAN}),
      row(null, null, null, null, int64_t{5}),
      {null, null},
  };
  for (const auto& r : refused) EXPECT_THROW(w.AddRow(r), std::invalid_argument);
  w.AddRow(row(int64_t{7}, int64_t{-7}, std::string("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC")));
  w.EndTable();
  // A row larger than a page is refused too.
  std::vector<Column> wide(12, Column{"", ColumnType::kText, 255});
  for (size_t i = 0; i < wide.size(); ++i) wide[i].name = "C" + std::to_string(i);
  w.BeginTable("Wide", wide);
  EXPECT_THROW(w.AddRow(std::vector<Value>(12, Value{Repeat("\xE4\xB8\xAD", 255)})), std::invalid_argument);
  w.EndTable();
  w.Finish();
  const LibmdbTable lib = ReadWithLibmdb(dir / "refused.mdb", "T");
  ASSERT_EQ(lib.cells.size(), 1u);
  EXPECT_EQ(lib.cells[0][0], "7");
  EXPECT_EQ(ReadWithLibmdb(dir / "refused.mdb", "Wide").cells.size(), 0u);
}

TEST(Jet4WriterTest, BadDefinitionsAreRefused) {
  TempDir dir;
  Writer w(dir / "bad.mdb");
  EXPECT_THROW(w.BeginTable("T", {}), std::invalid_argument);
  EXPECT_THROW(w.BeginTable("T", {{"A", ColumnType::kText, 0}}), std::invalid_argument);
  EXPECT_THROW(w.BeginTable("T", {{"A", ColumnType::kText, 256}}), std::invalid_argument);
  EXPECT_THROW(w.BeginTable("T", {{"A", ColumnType::kLong}, {"a", ColumnType::kLong}}), std::invalid_argument);
  EXPECT_THROW(w.BeginTable("", {{"A", ColumnType::kLong}}), std::invalid_argument);
  EXPECT_THROW(w.BeginTable("T", std::vector<Column>(256, Column{"A", ColumnType::kLong})), std::invalid_argument);
  w.BeginTable("T", {{"A", ColumnType::kLong}});
  w.EndTable();
  EXPECT_THROW(w.BeginTable("t", {{"A", ColumnType::kLong}}), std::invalid_argument);
}

TEST(Jet4WriterTest, SampleRowsAreDeterministicAndVaried) {
  const auto a = SampleOrgRows(500, 42);
  EXPECT_EQ(a, SampleOrgRows(500, 42));
  EXPECT_NE(a, SampleOrgRows(500, 43));
  SampleOrgSource source(42);
  for (const auto& r : a) EXPECT_EQ(source.Next(), r);
  std::map<std::string, int> statuses, counties, categories;
  int null_notes = 0, memos = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].size(), 24u);
    EXPECT_EQ(std::get<int64_t>(a[i][Col("Record Number")]), static_cast<int64_t>(i + 1));
    ++statuses[std::get<std::string>(a[i][Col("Status")])];
    ++counties[std::get<std::string>(a[i][Col("County")])];
    ++categories[std::get<std::string>(a[i][Col("Category")])];
    null_notes += std::holds_alternative<std::monostate>(a[i][Col("Event Notes")]);
    memos += !std::holds_alternative<std::monostate>(a[i][Col("Permanent Notes")]);
  }
  EXPECT_GE(statuses.size(), 5u);
  EXPECT_TRUE(statuses.count("Closed") && statuses.count("Delayed 2 Hours") && statuses.count("Early Dismissal"));
  EXPECT_EQ(counties.size(), 6u);
  EXPECT_EQ(categories.size(), 8u);
  EXPECT_GT(null_notes, 0);
  EXPECT_GT(memos, 0);
}

// The long shape: texts within their columns' 255 characters, memos of 1 to
// 8 KiB, text Jet must store as UCS-2; every row fits a page and reads back.
TEST(Jet4WriterTest, LongSampleRowsFitTheirColumnsAndReadBack) {
  constexpr int kRows = 2000;
  SampleOrgSource source(7, SampleShape::kLong);
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < kRows; ++i) rows.push_back(source.Next());
  size_t longest = 0, memos = 0, wide = 0;
  for (const auto& r : rows) {
    for (size_t c = 0; c < r.size(); ++c) {
      const auto* text = std::get_if<std::string>(&r[c]);
      if (!text) continue;
      if (kOrgColumns[c].kind == OrgColumn::kMemo) {
        memos += text->size() >= 1000;
        EXPECT_LE(text->size(), 8192u);
        continue;
      }
      longest = std::max(longest, text::Utf8Length(*text));
      EXPECT_LE(text::Utf8Length(*text), 255u);
      // A character beyond Windows-1252 keeps Jet from compressing the text.
      wide += !text::Utf8ToCp1252(*text).has_value();
    }
  }
  EXPECT_EQ(longest, 255u);
  EXPECT_GT(memos, kRows / 20u);
  EXPECT_GT(wide, 0u);

  TempDir dir;
  const std::string path = dir / "long.mdb";
  {
    Writer w(path);
    w.BeginTable("Org", OrgColumns());
    for (const auto& r : rows) w.AddRow(r);
    w.EndTable();
    w.Finish();
  }
  // Buffers that hold the longest memo whole: libmdb writes a memo past the
  // end of a smaller one.
  const LibmdbTable lib = ReadWithLibmdb(path, "Org");
  ASSERT_EQ(lib.cells.size(), rows.size());
  for (size_t i = 0; i < rows.size(); i += 97)
    for (size_t c = 0; c < rows[i].size(); ++c)
      EXPECT_EQ(lib.cells[i][c], Expected(rows[i][c])) << "row " << i << " column " << c;
}

TEST(Jet4WriterTest, ThirtyThousandRowsUseReferenceMaps) {
  // About 10 MB: more pages than five inline maps cover.
  constexpr int kRows = 30000;
  TempDir dir;
  const std::string path = dir / "big.mdb";
  {
    Writer w(path);
    w.BeginTable("Org", OrgColumns());
    SampleOrgSource source(5);
    for (int i = 0; i < kRows; ++i) w.AddRow(source.Next());
    w.EndTable();
    w.BeginTable("After", {{"A", ColumnType::kLong}});
    w.AddRow({int64_t{1}});
    w.EndTable();
    w.Finish();
  }
  EXPECT_GT(fs::file_size(path), 472u * 4096u * 4);  // far beyond what an inline map covers

  const LibmdbTable lib = ReadWithLibmdb(path, "Org", 4096);
  ASSERT_EQ(lib.cells.size(), static_cast<size_t>(kRows));
  SampleOrgSource source(5);
  for (int i = 0; i < kRows; ++i) {
    const std::vector<Value> want = source.Next();
    if (i % 9973 != 0 && i != kRows - 1) continue;
    for (size_t c = 0; c < want.size(); ++c)
      EXPECT_EQ(lib.cells[static_cast<size_t>(i)][c], Expected(want[c])) << "row " << i << " column " << c;
  }
  const Cells exported = Export(path, "Org");
  ASSERT_EQ(exported.size(), static_cast<size_t>(kRows));
  EXPECT_EQ(exported.back()[0], std::to_string(kRows));
  EXPECT_EQ(ReadWithLibmdb(path, "After").cells.size(), 1u);
}

// --- every format -----------------------------------------------------------

struct FormatCase {
  Format format;
  const char* name;      // as mdb-ver prints it
  uint8_t version_byte;  // at 0x14 of the header
};

const FormatCase kFormats[] = {
    {Format::kJet3, "JET3", 0},   {Format::kJet4, "JET4", 1},   {Format::kAce12, "ACE12", 2},
    {Format::kAce14, "ACE14", 3}, {Format::kAce15, "ACE15", 4}, {Format::kAce16, "ACE16", 5},
    {Format::kAce17, "ACE17", 6},
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class EveryFormatTest : public ::testing::TestWithParam<FormatCase> {
 protected:
  Format format() const { return GetParam().format; }
  bool jet3() const { return format() == Format::kJet3; }
};

// Table Org as from a Jet 4 file; a definition over several pages; more
// tables than one page of usage maps holds (7 in Jet 3, 30 otherwise).
TEST_P(EveryFormatTest, TablesReadBackAsFromJet4) {
  const auto org = SampleOrgRows(300, 11);
  std::vector<Column> wide;
  std::vector<std::vector<Value>> wide_rows(3);
  for (int i = 0; i < 200; ++i) {
    wide.push_back({"Column number " + std::to_string(i), i % 2 ? ColumnType::kLong : ColumnType::kText, 20});
    for (size_t r = 0; r < wide_rows.size(); ++r)
      wide_rows[r].push_back(i % 2 ? Value{int64_t{i}} : Value{"v" + std::to_string(r)});
  }
  auto small_row = [](int64_t t) { return std::vector<Value>{t, "row " + std::to_string(t)}; };
  TempDir dir;
  const std::string path = dir / "all.mdb", jet4 = dir / "jet4.mdb";
  WriteTable(jet4, "Org", OrgColumns(), org);
  {
    Writer w(path, format());
    w.BeginTable("Org", OrgColumns());
    for (const auto& r : org) w.AddRow(r);
    w.EndTable();
    w.BeginTable("Wide", wide);
    for (const auto& r : wide_rows) w.AddRow(r);
    w.EndTable();
    for (int64_t t = 0; t < 40; ++t) {
      w.BeginTable("T" + std::to_string(t), {{"N", ColumnType::kLong}, {"S", ColumnType::kText, 10}});
      if (t) w.AddRow(small_row(t));
      w.EndTable();
    }
    w.Finish();
  }
  ExpectRoundTrip(path, "Org", org);
  EXPECT_EQ(ExportText(path, "Org"), ExportText(jet4, "Org"));
  ExpectRoundTrip(path, "Wide", wide_rows);
  ExpectRoundTrip(path, "T0", {});
  for (int64_t t : {6, 7, 30, 39}) ExpectRoundTrip(path, "T" + std::to_string(t), {small_row(t)});
}

// Texts at the edges of each encoding; memos at the edges of each page size:
// one LVAL row of 2036 bytes (Jet 3) or 4080, chains of whole and partial
// rows of 2032 or 4076 bytes, compressed or not; NULLs and dates.
TEST_P(EveryFormatTest, AwkwardTextsMemosNullsAndDatesSurvive) {
  std::vector<std::string> texts = {
      "caf\xC3\xA9 M\xC3\xBCller \xE2\x82\xAC 5 \xC3\xBF\xC3\x9F\xC2\xA9",                      // é ü € ÿ ß ©
      "\xE2\x80\x9Eq\xE2\x80\x9C \xE2\x80\x94 \xC5\x92uvre\xE2\x84\xA2 \xC5\xBD \xC5\xB8",  // „ “ — Œ ™ Ž Ÿ
      "say \"hi\", then, \"bye\"", "line one\nline two\r\nline three\ttab", "  spaced  ", Repeat("x", 255),
  };
  std::vector<std::string> memos = {
      "short memo",      Repeat("0123456789", 7), Repeat("y", 2036), Repeat("y", 2037),           Repeat("z", 4064),
      Repeat("y", 4080), Repeat("y", 4081),       Repeat("\xE2\x82\xAC", 1500), Repeat("abcdefg", 10000),
  };
  if (!jet3()) {  // beyond Windows-1252
    texts.push_back("\xE5\x8C\x97\xE4\xBA\xAC\xE5\xB8\x82 \xC4\x80 U+0100");
    texts.push_back(Repeat("\xE4\xB8\xAD", 255));
    memos.push_back(Repeat("\xE4\xB8\xAD", 2038));  // one chained row of 4076 bytes
  }
  std::vector<std::vector<Value>> rows;
  const size_t n = std::max(texts.size(), memos.size());
  for (size_t i = 0; i < n + 24; ++i) {
    auto r = SampleOrgRows(1, static_cast<uint32_t>(i))[0];
    r[0] = static_cast<int64_t>(i);
    r[5] = texts[i % texts.size()];
    r[6] = memos[i % memos.size()];
    r[22] = DateValue{i % 2 ? -1.25 : *OleDateOf(2024, 3, 5, 14, 7, 9)};
    if (i >= n) r[i - n] = std::monostate{};  // NULL in each column in turn
    rows.push_back(r);
  }
  rows.emplace_back(24);
  TempDir dir;
  WriteTable(dir / "awkward.mdb", "Org", OrgColumns(), rows, format());
  ExpectRoundTrip(dir / "awkward.mdb", "Org", rows);
}

TEST_P(EveryFormatTest, MdbVerAndTheHeaderNameTheVersion) {
  TempDir dir;
  const std::string path = dir / "v.accdb";
  WriteTable(path, "Org", OrgColumns(), SampleOrgRows(2, 1), format());
  const std::string file = ReadAll(path);
  ASSERT_EQ(file.size() % (jet3() ? 2048u : 4096u), 0u);
  std::vector<unsigned char> h(file.begin(), file.begin() + 0x98);
  ado::access::ApplyHeaderMask(&h[ado::access::kMaskedOffset], jet3() ? 126 : 128);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[4])),
            jet3() || format() == Format::kJet4 ? "Standard Jet DB" : "Standard ACE DB");
  EXPECT_EQ(h[0x14], GetParam().version_byte);
  EXPECT_EQ(h[0x15], format() == Format::kAce14 ? 1 : 0);  // 03 01 00 00, as Access 2010 writes
  EXPECT_EQ(h[0x3C] | h[0x3D] << 8, 1252);                  // the code page
  const size_t sort_order = jet3() ? 0x3A : 0x6E;
  EXPECT_EQ(h[sort_order] | h[sort_order + 1] << 8, 0x0409);             // General
  EXPECT_EQ(h[0x71], format() >= Format::kAce14 ? 1 : 0);                // its version of Access 2010 on

  const std::string mdb_ver = FindOnPath("mdb-ver");
  if (mdb_ver.empty()) GTEST_SKIP() << "mdb-ver is not on PATH";
  const RunResult r = RunProgram({mdb_ver, path}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, std::string(GetParam().name) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormatTest, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<FormatCase>& param) { return std::string(param.param.name); });

// --- Jet 3 ------------------------------------------------------------------

// `count` columns named prefix0, prefix1...
std::vector<Column> Columns(const std::string& prefix, int count, ColumnType type, int chars = 255) {
  std::vector<Column> columns;
  for (int i = 0; i < count; ++i) columns.push_back({prefix + std::to_string(i), type, chars});
  return columns;
}

// A row of `columns` NULLs but for texts of the given lengths from column
// `first` on.
std::vector<Value> TextRow(size_t columns, size_t first, const std::vector<size_t>& lengths) {
  std::vector<Value> r(columns);
  for (size_t i = 0; i < lengths.size(); ++i)
    r[first + i] = Repeat(std::string(1, static_cast<char>('a' + i % 26)), lengths[i]);
  return r;
}

// Rows whose one-byte offsets need the jump table: data past 256, 512 and on
// to the largest row, offsets on 256, rows of 512 and 768 bytes before the
// table (which needs an entry more for itself); a fixed part past 512 (two
// entries naming the first column); more offsets than data (entries past the
// data, 0xFF), up to the 255 variable columns libmdb misreads in one case.
TEST(Jet3WriterTest, RowsThatNeedTheJumpTableReadBack) {
  std::vector<std::vector<Value>> texts;
  for (const std::vector<size_t>& lengths : std::vector<std::vector<size_t>>{
           {255}, {254, 7}, {254, 1, 3}, {255, 255}, {255, 0, 255, 255}, {255, 245}, {255, 255, 246},
           {255, 255, 255, 255, 255, 255, 255}, {248, 248, 248, 248, 248, 248, 248, 248}, {}})
    texts.push_back(TextRow(8, 0, lengths));
  std::vector<Column> fixed = Columns("L", 130, ColumnType::kLong);  // 520 bytes
  fixed.push_back({"S", ColumnType::kText});
  std::vector<std::vector<Value>> fixed_rows;
  for (size_t n : {size_t{0}, size_t{1}, size_t{255}}) {
    fixed_rows.push_back(TextRow(131, 130, {n}));
    for (int64_t i = 0; i < 130; ++i) fixed_rows.back()[static_cast<size_t>(i)] = i * 1000 + static_cast<int64_t>(n);
  }
  const std::vector<std::vector<Value>> many = {TextRow(200, 0, std::vector<size_t>(200, 1)),
                                                TextRow(200, 0, std::vector<size_t>(200, 5)),
                                                TextRow(200, 50, std::vector<size_t>(100, 2)), TextRow(200, 0, {})};
  const std::vector<std::vector<Value>> all_var = {TextRow(255, 0, std::vector<size_t>(230, 1)),
                                                   TextRow(255, 0, std::vector<size_t>(255, 1)), TextRow(255, 0, {})};
  TempDir dir;
  const std::string path = dir / "jumps.mdb";
  {
    Writer w(path, Format::kJet3);
    auto table = [&](const std::string& name, const std::vector<Column>& columns,
                     const std::vector<std::vector<Value>>& rows, const std::vector<Value>& refused) {
      w.BeginTable(name, columns);
      for (const auto& r : rows) w.AddRow(r);
      if (!refused.empty()) {
        EXPECT_THROW(w.AddRow(refused), std::invalid_argument) << name;
      }
      w.EndTable();
    };
    table("Texts", Columns("T", 8, ColumnType::kText), texts,
          TextRow(8, 0, std::vector<size_t>(8, 255)));  // 2045 bytes
    table("Fixed", fixed, fixed_rows, {});
    table("Many", Columns("V", 200, ColumnType::kText, 5), many, {});
    table("AllVar", Columns("V", 255, ColumnType::kText, 1), all_var, TextRow(255, 25, std::vector<size_t>(230, 1)));
    w.Finish();
  }
  ExpectRoundTrip(path, "Texts", texts);
  ExpectRoundTrip(path, "Fixed", fixed_rows);
  ExpectRoundTrip(path, "Many", many);
  ExpectRoundTrip(path, "AllVar", all_var);
}

TEST(Jet3WriterTest, TextOutsideWindows1252IsRefusedAndLeavesNoTrace) {
  TempDir dir;
  const std::string path = dir / "cp1252.mdb";
  const std::vector<Value> good = {int64_t{2}, std::string("\xE2\x82\xAC\xC5\x93 ok"), Repeat("\xE2\x80\xA6", 3000)};
  {
    Writer w(path, Format::kJet3);
    EXPECT_THROW(w.BeginTable("\xE4\xB8\xAD", {{"A", ColumnType::kLong}}), std::invalid_argument);
    EXPECT_THROW(w.BeginTable("T", {{"\xC4\x80", ColumnType::kLong}}), std::invalid_argument);
    w.BeginTable("T", {{"N", ColumnType::kLong}, {"S", ColumnType::kText, 10}, {"M", ColumnType::kMemo}});
    // 中, Ā, U+0081 (a byte Windows-1252 leaves unassigned), U+FFFD, U+1F600
    for (const char* bad : {"\xE4\xB8\xAD", "A\xC4\x80", "\xC2\x81", "\xEF\xBF\xBD", "\xF0\x9F\x98\x80"}) {
      EXPECT_THROW(w.AddRow({int64_t{1}, std::string(bad), Value{}}), std::invalid_argument) << bad;
      EXPECT_THROW(w.AddRow({int64_t{1}, Value{}, Repeat("a long memo ", 300) + bad}), std::invalid_argument) << bad;
    }
    w.AddRow(good);
    w.EndTable();
    w.Finish();
  }
  ExpectRoundTrip(path, "T", {good});
}

// --- the tavrin-mdb-write command -------------------------------------------

std::string ToolBinary() {
  const char* build = std::getenv("TAVRIN_BUILD_DIR");
  return std::string(build ? build : ".") + "/tools/tavrin-mdb-write";
}

RunResult Tool(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), ToolBinary());
  return RunProgram(args, dir);
}

TEST(MdbWriteCommandTest, SampleMatchesTheLibrary) {
  TempDir dir;
  const RunResult r = Tool(dir, {dir / "s.mdb", "--sample", "50", "--seed", "9"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ExpectRoundTrip(dir / "s.mdb", "Org", SampleOrgRows(50, 9));
}

TEST(MdbWriteCommandTest, CsvCellsKeepQuotesCommasAndLineBreaks) {
  TempDir dir;
  WriteAll(dir / "in.csv",
           "Record Number,Organization Name,Event Notes,Event Update Time,Permanent Notes\r\n"
           "1,\"Smith, Jones & \"\"Sons\"\"\",\"two\nlines\",2024-03-05 14:07:09,\r\n"
           "2,,\"\",-1.25,\"crlf\r\ninside\"\n"
           "\n"
           "3,  spaced  ,\xE2\x82\xAC,1899-12-30,\n");
  const RunResult r = Tool(dir, {dir / "c.mdb", "--csv", dir / "in.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::vector<Value>> want(3, std::vector<Value>(24));
  want[0][Col("Record Number")] = int64_t{1};
  want[0][Col("Organization Name")] = std::string("Smith, Jones & \"Sons\"");
  want[0][Col("Event Notes")] = std::string("two\nlines");
  want[0][Col("Event Update Time")] = DateValue{*OleDateOf(2024, 3, 5, 14, 7, 9)};
  want[1][Col("Record Number")] = int64_t{2};
  want[1][Col("Event Update Time")] = DateValue{-1.25};
  want[1][Col("Permanent Notes")] = std::string("crlf\r\ninside");
  want[2][Col("Record Number")] = int64_t{3};
  want[2][Col("Organization Name")] = std::string("  spaced  ");
  want[2][Col("Event Notes")] = std::string("\xE2\x82\xAC");
  want[2][Col("Event Update Time")] = DateValue{0.0};
  ExpectRoundTrip(dir / "c.mdb", "Org", want);
}

TEST(MdbWriteCommandTest, JsonLinesAndSeveralTables) {
  TempDir dir;
  WriteAll(dir / "org.jsonl",
           "{\"Record Number\": 1, \"Status\": \"Closed\", \"Event Notes\": \"a \\\"q\\\"\\n\\u20ac \\u4e2d\","
           " \"Event Kill Date\": \"2024-01-17 00:00:00\", \"Event Update Time\": 45307.25, \"County\": null}\n"
           "\n"
           "{\"Record Number\": 2}\n");
  WriteAll(dir / "other.csv", "N,T\n5,x\n6,\n");
  const RunResult r = Tool(dir, {dir / "j.mdb", "--jsonl", dir / "org.jsonl", "--table", "Other", "--columns",
                                 "N:Integer, T:Text(3)", "--csv", dir / "other.csv", "--table", "Empty",
                                 "--columns", "A:Long,B:Double,C:Memo,D:DateTime,E:Text"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::vector<Value>> want(2, std::vector<Value>(24));
  want[0][Col("Record Number")] = int64_t{1};
  want[0][Col("Status")] = std::string("Closed");
  want[0][Col("Event Notes")] = std::string("a \"q\"\n\xE2\x82\xAC \xE4\xB8\xAD");
  want[0][Col("Event Kill Date")] = DateValue{45308.0};
  want[0][Col("Event Update Time")] = DateValue{45307.25};
  want[1][Col("Record Number")] = int64_t{2};
  ExpectRoundTrip(dir / "j.mdb", "Org", want);
  ExpectRoundTrip(dir / "j.mdb", "Other", {{int64_t{5}, std::string("x")}, {int64_t{6}, std::monostate{}}});
  ExpectRoundTrip(dir / "j.mdb", "Empty", {});
}

TEST(MdbWriteCommandTest, BadUsageAndBadInputLeaveNothingBehind) {
  TempDir dir;
  WriteAll(dir / "bad.csv", "Record Number,Status\n1,Open\n2,\"x\"y\n");
  WriteAll(dir / "badtype.csv", "Record Number\n1\n\n\nabc\n");
  WriteAll(dir / "long.jsonl", "{\"Record Number\": 1}\n{\"Record Number\": 2, \"State\": \"" + Repeat("s", 256) + "\"}\n");
  WriteAll(dir / "unknown.jsonl", "{\"Record Number\": 1, \"Nope\": 2}\n");
  WriteAll(dir / "existing.mdb", "keep me");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, 2, "no output file"},
      {{dir / "o.mdb"}, 2, "nothing to write"},
      {{dir / "o.mdb", "--sample"}, 2, "needs a value"},
      {{dir / "o.mdb", "--sample", "x"}, 2, "row count"},
      {{dir / "o.mdb", "--bogus"}, 2, "unknown argument"},
      {{dir / "o.mdb", "--table", "T", "--columns", "A:Float"}, 2, "unknown column type"},
      {{dir / "o.mdb", "--sample", "1", "--csv", dir / "bad.csv"}, 2, "more than one source"},
      {{dir / "o.mdb", "--table", "T", "--columns", "A:Long", "--sample", "3"}, 2, "--sample"},
      {{dir / "o.mdb", "--table", "T", "--columns", "A:Long", "--table", "t", "--columns", "B:Long"}, 2, "duplicate"},
      {{dir / "o.mdb", "--csv", dir / "bad.csv"}, 1, "bad.csv:3:"},
      {{dir / "o.mdb", "--csv", dir / "badtype.csv"}, 1, "badtype.csv:5:"},
      {{dir / "o.mdb", "--csv", dir / "missing.csv"}, 1, "cannot open"},
      {{dir / "o.mdb", "--jsonl", dir / "long.jsonl"}, 1, "long.jsonl:2:"},
      {{dir / "o.mdb", "--jsonl", dir / "unknown.jsonl"}, 1, "Nope"},
      {{dir / "existing.mdb", "--jsonl", dir / "unknown.jsonl"}, 1, "unknown.jsonl:1:"},
  };
  for (const Case& c : cases) {
    const RunResult r = Tool(dir, c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir / "o.mdb"));
  EXPECT_EQ(ReadAll(dir / "existing.mdb"), "keep me");
  for (const auto& entry : fs::directory_iterator(dir / ""))
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
  const RunResult help = Tool(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--columns"), std::string::npos);
}

TEST(MdbWriteCommandTest, FormatChoosesTheVersionWhateverTheName) {
  TempDir dir;
  const std::string mdb_ver = FindOnPath("mdb-ver");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{dir / "a.accdb", "--sample", "20"}, "JET4"},
      {{dir / "b.mdb", "--format", "ACE14", "--sample", "20"}, "ACE14"},
      {{dir / "c.accdb", "--sample", "20", "--format", "jet3"}, "JET3"},
  };
  for (const auto& [args, version] : cases) {
    const RunResult r = Tool(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectRoundTrip(args[0], "Org", SampleOrgRows(20, 1));
    if (!mdb_ver.empty()) {
      EXPECT_EQ(RunProgram({mdb_ver, args[0]}, dir).out, version + "\n");
    }
  }
  const std::vector<std::vector<std::string>> refused = {
      {dir / "d.mdb", "--format", "ace13", "--sample", "3"},
      {dir / "d.mdb", "--sample", "3", "--format"},
      {dir / "d.mdb", "--format", "jet3", "--format", "jet4", "--sample", "3"},
  };
  for (const std::vector<std::string>& args : refused) {
    const RunResult r = Tool(dir, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--format"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir / "d.mdb"));
}

}  // namespace
}  // namespace tavrin::jet4
