#include "platform/access_provider.h"

#include <fcntl.h>
#include <mdbtools.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "platform/jet_sql.h"
#include "platform/oledate.h"
#include "platform/stderr_lock.h"

namespace tavrin::ado {
namespace {

// ---------------------------------------------------------------------------
// Failures inside the provider. Query and Open turn them into error entries
// and a _com_error.

struct ProviderFailure {
  HRESULT hr;
  std::string description;
  std::vector<std::string> warnings;  // what libmdb printed meanwhile
  bool retry = false;                 // the file may have been changing: try once more
};

[[noreturn]] void Throw(std::vector<ErrorEntry>* errors, const ProviderFailure& f) {
  for (const auto& w : f.warnings) errors->push_back({f.hr, "libmdb: " + w});
  errors->push_back({f.hr, f.description});
  throw _com_error(f.hr, std::string(kJetSource), f.description);
}

std::string NotFoundText(const std::string& path) { return "Could not find file '" + path + "'."; }

std::string BadFormatText(const std::string& path) {
  return "Unrecognized database format '" + path + "'.";
}

ProviderFailure Damaged(const std::string& table, const std::string& what,
                        std::vector<std::string> warnings = {}) {
  return {kEFail, "The table '" + table + "' cannot be read completely: " + what +
                      " The database file may be damaged or was being changed.",
          std::move(warnings), true};
}

// ---------------------------------------------------------------------------
// Files

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct FileFacts {
  int64_t pages = 0;
  int page_size = 0;
  bool jet3 = false;
};

// What can be checked before libmdb reads the file, so that junk is refused
// instead of reaching a reader that trusts it.
FileFacts CheckFile(int fd, const std::string& path) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw ProviderFailure{kEFail, NotFoundText(path), {}};
  unsigned char header[0x18];
  if (st.st_size < static_cast<off_t>(sizeof header) ||
      pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
    throw ProviderFailure{kEFail, BadFormatText(path), {}};
  const bool signature = std::memcmp(header, "\x00\x01\x00\x00", 4) == 0 &&
                         (std::memcmp(header + 4, "Standard Jet DB", 16) == 0 ||
                          std::memcmp(header + 4, "Standard ACE DB", 16) == 0);
  const uint32_t version = Le32(header + 0x14);
  if (!signature || version > MDB_VER_ACCDB_2019) throw ProviderFailure{kEFail, BadFormatText(path), {}};
  FileFacts f;
  f.jet3 = version == MDB_VER_JET3;
  f.page_size = f.jet3 ? 2048 : 4096;
  f.pages = st.st_size / f.page_size;
  // A partial last page means a truncated copy; page 2 holds the catalog's
  // table definition.
  unsigned char type = 0;
  if (st.st_size % f.page_size != 0 || f.pages < 3 ||
      pread(fd, &type, 1, 2 * static_cast<off_t>(f.page_size)) != 1 || type != MDB_PAGE_TABLE)
    throw ProviderFailure{kEFail, BadFormatText(path), {}};
  return f;
}

UniqueFd OpenFile(const std::string& path) {
  UniqueFd fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() >= 0) return fd;
  if (errno == EACCES || errno == EPERM)
    throw ProviderFailure{kEFail,
                          "The Microsoft Jet database engine cannot open the file '" + path +
                              "'.  It is already opened exclusively by another user, or you need "
                              "permission to view its data.",
                          {}};
  throw ProviderFailure{kEFail, NotFoundText(path), {}};
}

// The table definition's pages and the usage maps it names must lie in the
// file and be of the right kinds before libmdb follows them.
void CheckTableDefinition(int fd, const FileFacts& f, uint32_t first_page, const std::string& name) {
  std::vector<unsigned char> page(static_cast<size_t>(f.page_size));
  auto read = [&](int64_t number) {
    return number > 0 && number < f.pages &&
           pread(fd, page.data(), page.size(), number * f.page_size) ==
               static_cast<ssize_t>(page.size());
  };
  if (!read(first_page) || page[0] != MDB_PAGE_TABLE)
    throw Damaged(name, "its definition page " + std::to_string(first_page) + " is missing or invalid.");
  const size_t map_offset = f.jet3 ? 35 : 55;
  const uint32_t maps[2] = {Le32(&page[map_offset]), Le32(&page[map_offset + 4])};
  uint32_t next = Le32(&page[4]);
  for (int64_t hops = 0; next != 0; ++hops) {
    if (hops >= f.pages || !read(next) || page[0] != MDB_PAGE_TABLE)
      throw Damaged(name, "its definition continues on a page that is missing or invalid.");
    next = Le32(&page[4]);
  }
  for (uint32_t map : maps) {
    if (!read(map >> 8) || page[0] != MDB_PAGE_DATA)
      throw Damaged(name, "its page map is missing or invalid.");
  }
}

// ---------------------------------------------------------------------------
// libmdb's warnings

// Sends standard error into a memory file while libmdb runs, so that its
// warnings become error entries instead of reaching the user's terminal.
// Holds StderrLock() for its lifetime: standard error belongs to the
// process, so only one capture may exist at a time (which also keeps libmdb
// to one thread).
class CapturedStderr {
 public:
  CapturedStderr() : lock_(StderrLock()), file_(memfd_create("tavrin-libmdb", MFD_CLOEXEC)) {
    std::fflush(stderr);
    if (file_.get() < 0) return;  // no capture possible: libmdb prints as it would
    saved_ = ::dup(STDERR_FILENO);
    if (saved_ >= 0 && ::dup2(file_.get(), STDERR_FILENO) < 0) {
      ::close(saved_);
      saved_ = -1;
    }
  }
  ~CapturedStderr() { Restore(); }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // The lines written since the start or the previous call.
  std::vector<std::string> Take() {
    std::fflush(stderr);
    std::vector<std::string> lines;
    if (file_.get() < 0) return lines;
    std::string text;
    char buf[4096];
    ssize_t n;
    while (text.size() < 65536 && (n = pread(file_.get(), buf, sizeof buf, read_)) > 0) {
      text.append(buf, static_cast<size_t>(n));
      read_ += n;
    }
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    constexpr size_t kMaxLines = 10;
    if (lines.size() > kMaxLines) {
      const size_t more = lines.size() - kMaxLines;
      lines.resize(kMaxLines);
      lines.push_back("(" + std::to_string(more) + " more warnings)");
    }
    return lines;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }

  std::unique_lock<std::mutex> lock_;
  UniqueFd file_;
  int saved_ = -1;
  off_t read_ = 0;
};

// ---------------------------------------------------------------------------
// Stored tables: compact, column by column.

enum class Tag : uint8_t { kNull, kText, kLong, kDouble, kDate };

struct ColumnInfo {
  std::string name;
  Tag declared;  // the kind the column's values take (a value may still be null)
};

// A table or a result, stored compactly row by row: each row is one run of
// cells (a tag, then 8 bytes of number, or a 4-byte length and the text),
// kept in large blocks that never move. Reading a row's fields touches one
// place in memory, whatever order the rows are read in.
class StoredTable {
 public:
  std::string name;
  std::vector<ColumnInfo> columns;

  size_t rows() const { return rows_.size(); }

  // Building a row: one Add per column, in column order, then EndRow.
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
    constexpr size_t kBlockSize = 1 << 20;
    if (row_.size() > block_free_) {
      const size_t size = std::max(kBlockSize, row_.size());
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      next_ = blocks_.back().get();
      block_free_ = size;
    }
    if (!row_.empty()) std::memcpy(next_, row_.data(), row_.size());
    rows_.push_back(next_);
    next_ += row_.size();
    block_free_ -= row_.size();
    row_.clear();
  }
  void Finish() {
    rows_.shrink_to_fit();
    row_.shrink_to_fit();
  }

  struct Cell {
    Tag tag = Tag::kNull;
    double number = 0;
    std::string_view text;
  };
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

  Variant Value(size_t row, size_t column) const {
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

 private:
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

// A result: the rows of a stored table, all in order or picked by `order`.
class StoredResult : public ResultSet {
 public:
  StoredResult(std::shared_ptr<const StoredTable> table, std::vector<uint32_t> order, bool picked)
      : table_(std::move(table)), order_(std::move(order)), picked_(picked) {
    for (const auto& c : table_->columns) names_.push_back(c.name);
  }
  int64_t RowCount() const override {
    return static_cast<int64_t>(picked_ ? order_.size() : table_->rows());
  }
  const std::vector<std::string>& Columns() const override { return names_; }
  Variant Value(int64_t row, int column) const override {
    if (row < 0 || row >= RowCount() || column < 0 || column >= static_cast<int>(names_.size()))
      return Variant();
    const size_t r = picked_ ? order_[static_cast<size_t>(row)] : static_cast<size_t>(row);
    return table_->Value(r, static_cast<size_t>(column));
  }

 private:
  std::shared_ptr<const StoredTable> table_;
  std::vector<uint32_t> order_;
  bool picked_;
  std::vector<std::string> names_;
};

// ---------------------------------------------------------------------------
// Reading a table with libmdb

using MdbPtr = std::unique_ptr<MdbHandle, decltype(&mdb_close)>;
using TableDefPtr = std::unique_ptr<MdbTableDef, decltype(&mdb_free_tabledef)>;

// Appends Jet 4 text (UCS-2, or the compressed form that starts FF FE and
// toggles between one and two bytes per character at each 00) as UTF-8.
void AppendJetText(const unsigned char* p, size_t n, std::string* out) {
  char32_t high = 0;  // a pending high surrogate
  auto put = [&](char32_t u) {
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (high) out->append("\xEF\xBF\xBD");
      high = u;
      return;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) {
      if (!high) {
        out->append("\xEF\xBF\xBD");
        return;
      }
      u = 0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00);
      high = 0;
    } else if (high) {
      out->append("\xEF\xBF\xBD");
      high = 0;
    }
    if (u < 0x80) {
      out->push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (u >> 6)));
      out->push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (u >> 12)));
      out->push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (u >> 18)));
      out->push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  };
  size_t i = 0;
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    bool compressed = true;
    for (i = 2; i < n;) {
      if (p[i] == 0) {
        compressed = !compressed;
        ++i;
      } else if (compressed && p[i] < 0x80 && !high) {
        // Runs of ASCII, most of a typical text, are copied whole.
        size_t j = i + 1;
        while (j < n && p[j] != 0 && p[j] < 0x80) ++j;
        out->append(reinterpret_cast<const char*>(p + i), j - i);
        i = j;
      } else if (compressed) {
        put(p[i++]);
      } else if (i + 1 < n) {
        put(p[i] | (p[i + 1] << 8));
        i += 2;
      } else {
        break;
      }
    }
  } else {
    for (; i + 1 < n; i += 2) put(p[i] | (p[i + 1] << 8));
  }
  if (high) out->append("\xEF\xBF\xBD");
}

class TableReader {
 public:
  TableReader(MdbHandle* mdb, MdbTableDef* def, const FileFacts& facts)
      : mdb_(mdb), def_(def), facts_(facts), name_(def->name) {}

  std::shared_ptr<StoredTable> Read() {
    auto table = std::make_shared<StoredTable>();
    table->name = def_->entry->object_name;
    for (unsigned i = 0; i < def_->num_cols; ++i) {
      const auto* col = static_cast<MdbColumn*>(g_ptr_array_index(def_->columns, i));
      table->columns.push_back({col->name, DeclaredTag(col->col_type)});
    }
    std::vector<MdbField> fields(def_->num_cols);
    std::vector<const MdbField*> by_column(def_->num_cols);
    mdb_rewind_table(def_);
    int page;
    while ((page = mdb_read_next_dpg(def_)) != 0) {
      const int rows = mdb_get_int16(mdb_->pg_buf, mdb_->fmt->row_count_offset);
      for (int r = 0; r < rows; ++r) {
        int start = 0;
        size_t size = 0;
        // libmdb passes over such rows too; the row count check catches a loss.
        if (mdb_find_row(mdb_, r, &start, &size) != 0 || size == 0 || (start & 0x4000)) continue;
        if (start & 0x8000)
          throw ProviderFailure{kEFail,
                                "The table '" + name_ + "' holds a row in a form this reader cannot "
                                "read (an overflow row on page " + std::to_string(page) +
                                "). Compact the database in Access and try again.",
                                {}};
        start &= 0x1FFF;
        if (def_->num_cols == 0 || mdb_crack_row(def_, start, size, fields.data()) < 0) continue;
        std::fill(by_column.begin(), by_column.end(), nullptr);
        for (unsigned i = 0; i < def_->num_cols; ++i) {
          const MdbField& f = fields[i];
          if (f.colnum < 0 || f.colnum >= static_cast<int>(def_->num_cols) || by_column[static_cast<size_t>(f.colnum)])
            throw Damaged(name_, "a row does not match the table's columns.");
          if (!f.is_null && f.siz != 0 &&
              (f.start < start || f.siz < 0 ||
               static_cast<size_t>(f.start) + static_cast<size_t>(f.siz) > static_cast<size_t>(start) + size))
            throw Damaged(name_, "a value lies outside its row on page " + std::to_string(page) + ".");
          by_column[static_cast<size_t>(f.colnum)] = &f;
        }
        for (unsigned i = 0; i < def_->num_cols; ++i)
          Store(static_cast<MdbColumn*>(g_ptr_array_index(def_->columns, i)), *by_column[i], table.get());
        table->EndRow();
        if (table->rows() > std::numeric_limits<uint32_t>::max())
          throw Damaged(name_, "it has more rows than can be read.");
      }
    }
    table->Finish();
    return table;
  }

 private:
  static Tag DeclaredTag(int type) {
    switch (type) {
      case MDB_BOOL: case MDB_BYTE: case MDB_INT: case MDB_LONGINT: case MDB_COMPLEX:
        return Tag::kLong;
      case MDB_MONEY: case MDB_FLOAT: case MDB_DOUBLE: case MDB_NUMERIC:
        return Tag::kDouble;
      case MDB_DATETIME:
        return Tag::kDate;
      default:
        return Tag::kText;
    }
  }

  static int FixedSize(int type) {
    switch (type) {
      case MDB_BYTE: return 1;
      case MDB_INT: return 2;
      case MDB_LONGINT: case MDB_COMPLEX: case MDB_FLOAT: return 4;
      case MDB_MONEY: case MDB_DOUBLE: case MDB_DATETIME: return 8;
      case MDB_REPID: return 16;
      case MDB_NUMERIC: return 17;
      default: return 0;
    }
  }

  void Store(MdbColumn* col, const MdbField& f, StoredTable* out) {
    const int type = col->col_type;
    if (type == MDB_BOOL) return out->AddNumber(Tag::kLong, f.is_null ? 0 : -1);
    if (f.is_null) return out->AddNull();
    if (f.siz < FixedSize(type))
      throw Damaged(name_, "a value of column '" + std::string(col->name) + "' is too short.");
    const unsigned char* p = mdb_->pg_buf + f.start;
    switch (type) {
      case MDB_BYTE:
        return out->AddNumber(Tag::kLong, p[0]);
      case MDB_INT:
        return out->AddNumber(Tag::kLong, static_cast<int16_t>(p[0] | (p[1] << 8)));
      case MDB_LONGINT:
      case MDB_COMPLEX:
        return out->AddNumber(Tag::kLong, static_cast<int32_t>(Le32(p)));
      case MDB_FLOAT: {
        float v;
        std::memcpy(&v, p, sizeof v);
        return out->AddNumber(Tag::kDouble, v);
      }
      case MDB_DOUBLE:
      case MDB_DATETIME: {
        double v;
        std::memcpy(&v, p, sizeof v);
        if (type == MDB_DOUBLE) return out->AddNumber(Tag::kDouble, v);
        // The raw OLE day count, not libmdb's text, which is wrong before
        // 1899-12-30; stored on the linear scale so that it sorts right.
        return out->AddNumber(Tag::kDate, OleDateToLinear(v));
      }
      case MDB_MONEY: {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        return out->AddNumber(Tag::kDouble, static_cast<double>(v) / 10000.0);
      }
      case MDB_NUMERIC: {
        char* s = mdb_numeric_to_string(mdb_, f.start, col->col_scale, col->col_prec);
        const double v = s ? std::strtod(s, nullptr) : 0.0;
        g_free(s);
        return out->AddNumber(Tag::kDouble, v);
      }
      case MDB_REPID: {
        char* s = mdb_uuid_to_string(mdb_->pg_buf, f.start);
        out->AddText(s ? s : "");
        g_free(s);
        return;
      }
      case MDB_TEXT:
        text_.clear();
        AppendText(p, static_cast<size_t>(f.siz));
        return out->AddText(text_);
      case MDB_MEMO:
        ReadLongValue(col, f);
        text_.clear();
        AppendText(reinterpret_cast<const unsigned char*>(long_value_.data()), long_value_.size());
        return out->AddText(text_);
      case MDB_OLE:
        ReadLongValue(col, f);
        return out->AddText(long_value_);
      default:
        return out->AddText(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(f.siz)));
    }
  }

  void AppendText(const unsigned char* p, size_t n) {
    if (!facts_.jet3) return AppendJetText(p, n, &text_);
    // Jet 3 text is in the file's code page, which libmdb converts.
    std::string buf(n * 3 + 1, '\0');
    const int len = mdb_unicode2ascii(mdb_, reinterpret_cast<const char*>(p), n, buf.data(), buf.size());
    text_.append(buf.data(), static_cast<size_t>(std::max(len, 0)));
  }

  // Reads a memo or OLE value whole into long_value_: inline, on one
  // long-value row, or along a chain of them whose parts must add up to the
  // length its header states.
  void ReadLongValue(MdbColumn* col, const MdbField& f) {
    long_value_.clear();
    if (f.siz == 0) return;
    if (f.siz < MDB_MEMO_OVERHEAD)
      throw Damaged(name_, "a value of column '" + std::string(col->name) + "' is too short.");
    const unsigned char* p = mdb_->pg_buf + f.start;
    const uint32_t header = Le32(p);
    const unsigned flags = header >> 24;
    const size_t length = header & 0x3FFFFFFF;
    const std::string where = "the long value of column '" + std::string(col->name) + "'";
    if (flags & 0x80) {
      if (length != static_cast<size_t>(f.siz) - MDB_MEMO_OVERHEAD)
        throw Damaged(name_, where + " has a wrong length.");
      long_value_.assign(reinterpret_cast<const char*>(p) + MDB_MEMO_OVERHEAD, length);
      return;
    }
    if (flags != 0x40 && flags != 0)
      throw Damaged(name_, where + " is stored in an unknown form.");
    // A length beyond the file's size is junk; do not allocate for it.
    if (length > static_cast<size_t>(facts_.pages) * static_cast<size_t>(facts_.page_size))
      throw Damaged(name_, where + " is longer than the file.");
    uint32_t pg_row = Le32(p + 4);
    const bool single = flags == 0x40;
    long_value_.reserve(length);
    while (long_value_.size() < length || single) {
      if ((pg_row >> 8) == 0 || (pg_row >> 8) >= facts_.pages)
        throw Damaged(name_, where + " points outside the file.");
      void* buf = nullptr;
      int off = 0;
      size_t len = 0;
      if (mdb_find_pg_row(mdb_, static_cast<int>(pg_row), &buf, &off, &len) != 0 ||
          static_cast<unsigned char*>(buf)[0] != MDB_PAGE_DATA ||
          static_cast<size_t>(off) + len > static_cast<size_t>(facts_.page_size))
        throw Damaged(name_, where + " is missing.");
      const char* row = static_cast<const char*>(buf) + off;
      if (single) {
        if (len < length) throw Damaged(name_, where + " is shorter than its length.");
        long_value_.assign(row, length);
        return;
      }
      if (len <= 4 || long_value_.size() + (len - 4) > length)
        throw Damaged(name_, where + " does not add up to its length.");
      long_value_.append(row + 4, len - 4);
      pg_row = Le32(reinterpret_cast<const unsigned char*>(row));
      if (pg_row == 0) break;
    }
    if (long_value_.size() != length) throw Damaged(name_, where + " does not add up to its length.");
  }

  MdbHandle* mdb_;
  MdbTableDef* def_;
  const FileFacts& facts_;
  std::string name_;
  std::string text_;        // reused for every text value
  std::string long_value_;  // reused for every memo and OLE value
};

ProviderFailure NoTable(const std::string& name) {
  return {kDbNoTable,
          "The Microsoft Jet database engine cannot find the input table or query '" + name +
              "'.  Make sure it exists and that its name is spelled correctly.",
          {}};
}

// Opens the file with libmdb and reads the table `name` (letter case
// ignored) whole, checking it against its definition. With `name` empty it
// only opens the file and reads its catalog.
std::shared_ptr<StoredTable> ReadTableOnce(const std::string& path, const std::string& name) {
  const UniqueFd fd = OpenFile(path);
  const FileFacts facts = CheckFile(fd.get(), path);
  CapturedStderr capture;
  MdbPtr mdb(mdb_open(path.c_str(), MDB_NOFLAGS), mdb_close);
  if (!mdb) throw ProviderFailure{kEFail, BadFormatText(path), capture.Take()};
  if (!mdb_read_catalog(mdb.get(), MDB_TABLE) || mdb->num_catalog == 0)
    throw ProviderFailure{kEFail, BadFormatText(path), capture.Take(), true};
  if (name.empty()) {
    auto warnings = capture.Take();
    if (!warnings.empty()) throw ProviderFailure{kEFail, BadFormatText(path), warnings, true};
    return nullptr;
  }
  MdbCatalogEntry* entry = nullptr;
  for (unsigned i = 0; i < mdb->num_catalog && !entry; ++i) {
    auto* e = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (e->object_type == MDB_TABLE && strcasecmp(e->object_name, name.c_str()) == 0) entry = e;
  }
  if (!entry) {
    auto warnings = capture.Take();
    // A catalog read with warnings may have lost the table.
    if (!warnings.empty()) throw Damaged(name, "the list of tables is damaged.", warnings);
    throw NoTable(name);
  }
  CheckTableDefinition(fd.get(), facts, static_cast<uint32_t>(entry->table_pg), entry->object_name);
  TableDefPtr def(mdb_read_table(entry), mdb_free_tabledef);
  if (!def || !mdb_read_columns(def.get()))
    throw Damaged(entry->object_name, "its definition is invalid.", capture.Take());
  auto table = TableReader(mdb.get(), def.get(), facts).Read();
  auto warnings = capture.Take();
  if (!warnings.empty()) throw Damaged(table->name, "libmdb reported problems.", warnings);
  if (table->rows() != def->num_rows)
    throw Damaged(table->name, "its definition counts " + std::to_string(def->num_rows) +
                                   " rows, but " + std::to_string(table->rows()) + " could be read.");
  return table;
}

std::shared_ptr<StoredTable> ReadTable(const std::string& path, const std::string& name) {
  try {
    return ReadTableOnce(path, name);
  } catch (const ProviderFailure& f) {
    if (!f.retry) throw;
  }
  // Give an editor that was saving the file a moment to finish.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return ReadTableOnce(path, name);
}

// ---------------------------------------------------------------------------
// Stored tables as SQLite virtual tables

struct TableModuleData {
  std::vector<std::shared_ptr<StoredTable>> tables;
};

struct VTab : sqlite3_vtab {
  const StoredTable* table = nullptr;
};

struct VCursor : sqlite3_vtab_cursor {
  size_t row = 0;
};

std::string QuotedName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  return out + "\"";
}

int VConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
  auto* data = static_cast<TableModuleData*>(aux);
  if (argc < 4) return SQLITE_ERROR;
  const size_t index = std::strtoul(argv[3], nullptr, 10);
  if (index >= data->tables.size()) return SQLITE_ERROR;
  const StoredTable& t = *data->tables[index];
  std::string ddl = "CREATE TABLE x(";
  for (size_t i = 0; i < t.columns.size(); ++i) {
    if (i) ddl += ", ";
    ddl += QuotedName(t.columns[i].name);
    switch (t.columns[i].declared) {
      case Tag::kText: ddl += std::string(" TEXT COLLATE ") + kJetCollation; break;
      case Tag::kLong: ddl += " INTEGER"; break;
      case Tag::kDate: ddl += " DATETIME"; break;
      default: ddl += " REAL"; break;
    }
  }
  ddl += ")";
  const int rc = sqlite3_declare_vtab(db, ddl.c_str());
  if (rc != SQLITE_OK) {
    *err = sqlite3_mprintf("%s", sqlite3_errmsg(db));
    return rc;
  }
  auto vtab = std::make_unique<VTab>();
  vtab->table = &t;
  *out = vtab.release();
  return SQLITE_OK;
}

int VDisconnect(sqlite3_vtab* vtab) {
  const std::unique_ptr<VTab> owned(static_cast<VTab*>(vtab));
  return SQLITE_OK;
}

int VBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
  const auto rows = static_cast<double>(static_cast<VTab*>(vtab)->table->rows());
  info->estimatedCost = rows + 1;
  info->estimatedRows = static_cast<sqlite3_int64>(rows);
  return SQLITE_OK;
}

int VOpen(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  *out = std::make_unique<VCursor>().release();
  return SQLITE_OK;
}

int VClose(sqlite3_vtab_cursor* cursor) {
  const std::unique_ptr<VCursor> owned(static_cast<VCursor*>(cursor));
  return SQLITE_OK;
}

int VFilter(sqlite3_vtab_cursor* cursor, int, const char*, int, sqlite3_value**) {
  static_cast<VCursor*>(cursor)->row = 0;
  return SQLITE_OK;
}

int VNext(sqlite3_vtab_cursor* cursor) {
  ++static_cast<VCursor*>(cursor)->row;
  return SQLITE_OK;
}

int VEof(sqlite3_vtab_cursor* cursor) {
  auto* c = static_cast<VCursor*>(cursor);
  return c->row >= static_cast<VTab*>(c->pVtab)->table->rows();
}

int VColumn(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int i) {
  auto* c = static_cast<VCursor*>(cursor);
  const StoredTable::Cell cell = static_cast<VTab*>(c->pVtab)->table->Get(c->row, static_cast<size_t>(i));
  switch (cell.tag) {
    case Tag::kText:
      // The table outlives the statement, so SQLite may use the bytes in place.
      sqlite3_result_text(ctx, cell.text.data(), static_cast<int>(cell.text.size()), SQLITE_STATIC);
      break;
    case Tag::kLong:
      sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(cell.number));
      break;
    case Tag::kDouble:
    case Tag::kDate:
      sqlite3_result_double(ctx, cell.number);
      break;
    case Tag::kNull:
      sqlite3_result_null(ctx);
      break;
  }
  return SQLITE_OK;
}

int VRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
  *rowid = static_cast<sqlite3_int64>(static_cast<VCursor*>(cursor)->row);
  return SQLITE_OK;
}

sqlite3_module MakeModule() {
  sqlite3_module m{};
  m.xCreate = VConnect;
  m.xConnect = VConnect;
  m.xBestIndex = VBestIndex;
  m.xDisconnect = VDisconnect;
  m.xDestroy = VDisconnect;
  m.xOpen = VOpen;
  m.xClose = VClose;
  m.xFilter = VFilter;
  m.xNext = VNext;
  m.xEof = VEof;
  m.xColumn = VColumn;
  m.xRowid = VRowid;
  return m;
}

const sqlite3_module kTableModule = MakeModule();

using SqlitePtr = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

ProviderFailure QueryError(const std::string& message) { return {kDbErrorsInCommand, message, {}}; }

// Steps `st` to its end, calling `row` for each result row.
template <typename RowFn>
void StepAll(sqlite3* db, sqlite3_stmt* st, RowFn row) {
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row();
  if (rc != SQLITE_DONE) throw QueryError(sqlite3_errmsg(db));
}

// A result of any shape, stored like a table. A column takes the date kind
// when it is a date column of a table, otherwise the kind of each value.
std::shared_ptr<StoredTable> StoreResult(sqlite3* db, sqlite3_stmt* st) {
  auto out = std::make_shared<StoredTable>();
  const int n = sqlite3_column_count(st);
  std::vector<bool> dates;
  for (int i = 0; i < n; ++i) {
    const char* decl = sqlite3_column_decltype(st, i);
    dates.push_back(decl && strcasecmp(decl, "DATETIME") == 0);
    out->columns.push_back({sqlite3_column_name(st, i), dates.back() ? Tag::kDate : Tag::kText});
  }
  StepAll(db, st, [&] {
    for (int i = 0; i < n; ++i) {
      switch (sqlite3_column_type(st, i)) {
        case SQLITE_NULL:
          out->AddNull();
          break;
        case SQLITE_INTEGER: {
          const sqlite3_int64 v = sqlite3_column_int64(st, i);
          if (dates[static_cast<size_t>(i)]) out->AddNumber(Tag::kDate, static_cast<double>(v));
          else if (v >= INT32_MIN && v <= INT32_MAX) out->AddNumber(Tag::kLong, static_cast<double>(v));
          else out->AddNumber(Tag::kDouble, static_cast<double>(v));
          break;
        }
        case SQLITE_FLOAT:
          out->AddNumber(dates[static_cast<size_t>(i)] ? Tag::kDate : Tag::kDouble, sqlite3_column_double(st, i));
          break;
        default: {
          const auto* t = static_cast<const char*>(sqlite3_column_blob(st, i));
          out->AddText(std::string_view(t ? t : "", static_cast<size_t>(sqlite3_column_bytes(st, i))));
          break;
        }
      }
    }
    out->EndRow();
  });
  out->Finish();
  return out;
}

class AccessProvider : public Provider {
 public:
  explicit AccessProvider(std::string path) : path_(std::move(path)) {}

  std::unique_ptr<ResultSet> Query(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    try {
      return RunQuery(sql);
    } catch (const ProviderFailure& f) {
      Throw(errors, f);
    } catch (const std::length_error&) {
      Throw(errors, {kEOutOfMemory, "The query result is too large.", {}});
    }
  }

  void Execute(const std::string&, std::vector<ErrorEntry>* errors) override {
    Throw(errors, {kEFail, "Cannot update.  Database or object is read-only.", {}});
  }

 private:
  std::unique_ptr<ResultSet> RunQuery(const std::string& jet) {
    RewrittenQuery q;
    try {
      q = RewriteJetSql(jet);
    } catch (const JetSqlError& e) {
      throw QueryError(e.what());
    }
    TableModuleData data;
    for (const auto& name : q.tables) data.tables.push_back(ReadTable(path_, name));

    sqlite3* raw = nullptr;
    const int open_rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    SqlitePtr db(raw, sqlite3_close);
    if (open_rc != SQLITE_OK) throw ProviderFailure{kEOutOfMemory, "Cannot start the query engine.", {}};
    // A double-quoted name must never pass for text, and "..." literals are
    // rewritten already.
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    if (RegisterJetDialect(raw) != SQLITE_OK ||
        sqlite3_create_module_v2(raw, "jet_table", &kTableModule, &data, nullptr) != SQLITE_OK)
      throw ProviderFailure{kEFail, sqlite3_errmsg(raw), {}};
    for (size_t i = 0; i < data.tables.size(); ++i) {
      const std::string ddl = "CREATE VIRTUAL TABLE " + QuotedName(data.tables[i]->name) +
                              " USING jet_table(" + std::to_string(i) + ")";
      char* err = nullptr;
      if (sqlite3_exec(raw, ddl.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string message = err ? err : sqlite3_errmsg(raw);
        sqlite3_free(err);
        throw QueryError(message);
      }
    }

    // SELECT * over one table: the result is the table itself in the
    // query's order, so no row is copied.
    if (!q.rowid_sql.empty() && data.tables.size() == 1 && !HasColumn(*data.tables[0], "_rowid_")) {
      StatementPtr st = Prepare(raw, q.rowid_sql);
      std::vector<uint32_t> order;
      StepAll(raw, st.get(), [&] { order.push_back(static_cast<uint32_t>(sqlite3_column_int64(st.get(), 0))); });
      order.shrink_to_fit();
      return std::make_unique<StoredResult>(data.tables[0], std::move(order), true);
    }
    StatementPtr st = Prepare(raw, q.sql);
    auto table = StoreResult(raw, st.get());
    return std::make_unique<StoredResult>(std::move(table), std::vector<uint32_t>(), false);
  }

  static bool HasColumn(const StoredTable& t, const char* name) {
    for (const auto& c : t.columns)
      if (strcasecmp(c.name.c_str(), name) == 0) return true;
    return false;
  }

  static StatementPtr Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, &tail);
    StatementPtr out(st, sqlite3_finalize);
    if (rc != SQLITE_OK) throw QueryError(sqlite3_errmsg(db));
    if (!out) throw QueryError("The query is empty.");
    // One statement only: a second one would otherwise be ignored unseen.
    while (tail && (*tail == ' ' || *tail == ';')) ++tail;
    if (tail && *tail) throw QueryError("Characters found after end of SQL statement.");
    if (!sqlite3_stmt_readonly(st)) throw ProviderFailure{kEFail, "Cannot update.  Database or object is read-only.", {}};
    return out;
  }

  std::string path_;
};

}  // namespace

std::unique_ptr<Provider> OpenAccessProvider(const std::string& path, std::vector<ErrorEntry>* errors) {
  try {
    ReadTable(path, "");
  } catch (const ProviderFailure& f) {
    Throw(errors, f);
  }
  return std::make_unique<AccessProvider>(path);
}

}  // namespace tavrin::ado
