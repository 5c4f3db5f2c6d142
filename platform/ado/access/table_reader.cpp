#include "platform/ado/access/table_reader.h"

#include <mdbtools.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_text.h"
#include "platform/ado/oledate.h"
#include "platform/text/ascii.h"

namespace tavrin::ado::access {
namespace {

using TableDefPtr = std::unique_ptr<MdbTableDef, decltype(&mdb_free_tabledef)>;

// Rows read again at once, in the order of the file: about 3 MiB of them.
constexpr size_t kRowsPerBatch = 8192;

// Gives back the image's pages (see MdbReader::ReleasePages) whenever the
// pages read since the last time span 8 MiB of the file: the kernel maps a
// page's neighbours with it, so this, not their number, bounds how much of
// the file stays resident.
class PageRelease {
 public:
  explicit PageRelease(const std::function<void()>& release) : release_(release) {}
  void Read(uint64_t page) {
    low_ = std::min(low_, page);
    high_ = std::max(high_, page);
    if (high_ - low_ < kSpan) return;
    release_();
    low_ = high_ = page;
  }

 private:
  static constexpr uint64_t kSpan = 2048;  // pages of 4 KiB
  const std::function<void()>& release_;
  uint64_t low_ = UINT64_MAX;
  uint64_t high_ = 0;
};

class TableReader {
 public:
  // `image` is the file that `mdb` reads (see MdbReader).
  TableReader(MdbHandle* mdb, MdbTableDef* def, const unsigned char* image, const FileFacts& facts,
              std::function<void()> release)
      : mdb_(mdb), def_(def), image_(image), facts_(facts), name_(def->name), release_(std::move(release)),
        fields_(def->num_cols), by_column_(def->num_cols) {}

  std::vector<ColumnInfo> Columns() const {
    std::vector<ColumnInfo> columns;
    for (unsigned i = 0; i < def_->num_cols; ++i) {
      const auto* col = static_cast<MdbColumn*>(g_ptr_array_index(def_->columns, i));
      columns.push_back({col->name, DeclaredTag(col->col_type)});
    }
    return columns;
  }

  // Streams the table's columns and rows into `sink`, the values of the
  // columns that `keep` marks only (every other value checked), each row
  // with its place when `placed`; returns the number of rows. Stops at the
  // first row beyond the count of its definition.
  uint64_t Read(TableSink& sink, const std::vector<bool>& keep, bool placed) {
    std::vector<ColumnInfo> columns = Columns();
    for (size_t i = 0; i < columns.size(); ++i) columns[i].loaded = keep[i];
    sink.BeginTable(def_->entry->object_name, columns, placed);
    uint64_t count = 0;
    PageRelease pages(release_);
    mdb_rewind_table(def_);
    int page;
    while ((page = mdb_read_next_dpg(def_)) != 0) {
      pages.Read(static_cast<uint64_t>(page));
      const int rows = mdb_get_int16(mdb_->pg_buf, mdb_->fmt->row_count_offset);
      for (int r = 0; r < rows; ++r) {
        int start = 0;
        size_t size = 0;
        // libmdb passes over such rows too; the row count check catches a loss.
        if (!FindRow(page, r, &start, &size) || !Crack(page, start, size)) continue;
        row_.Clear();
        for (unsigned i = 0; i < def_->num_cols; ++i) {
          auto* col = static_cast<MdbColumn*>(g_ptr_array_index(def_->columns, i));
          if (keep[i]) Store(col, *by_column_[i], row_);
          else Check(col, *by_column_[i]);
        }
        if (++count > def_->num_rows)
          throw Damaged(name_, "it holds more rows than its definition counts (" +
                                   std::to_string(def_->num_rows) + ").");
        sink.Row(row_.cells(), (static_cast<uint64_t>(page) << 16) | static_cast<unsigned>(r));
      }
    }
    return count;
  }

  // Streams the rows at `places`, every column, into `sink` (its table
  // begun, not ended). The rows are read in batches, each in the order of
  // the file, and sent in the order asked.
  void ReadAt(const std::vector<uint64_t>& places, TableSink& sink) {
    sink.BeginTable(def_->entry->object_name, Columns(), false);
    uint64_t current = 0;
    PageRelease pages(release_);
    std::vector<size_t> by_place;
    std::vector<std::pair<size_t, size_t>> slices;  // of each row of the batch in `batch`
    std::string batch;
    for (size_t first = 0; first < places.size(); first += kRowsPerBatch) {
      const size_t n = std::min(kRowsPerBatch, places.size() - first);
      by_place.resize(n);
      for (size_t i = 0; i < n; ++i) by_place[i] = first + i;
      // Rows asked for in file order (a report without a sort) go straight on.
      const auto from = places.begin() + static_cast<std::ptrdiff_t>(first);
      const bool in_order = std::is_sorted(from, from + static_cast<std::ptrdiff_t>(n));
      if (!in_order)
        std::sort(by_place.begin(), by_place.end(), [&](size_t a, size_t b) { return places[a] < places[b]; });
      slices.assign(n, {0, 0});
      batch.clear();
      for (const size_t at : by_place) {
        const uint64_t page = places[at] >> 16;
        const int r = static_cast<int>(places[at] & 0xFFFF);
        if (page != current) {
          if (page == 0 || page >= static_cast<uint64_t>(facts_.pages))
            throw Damaged(name_, "a row to read again lies outside the file.");
          pages.Read(page);
          LoadPage(page);
          if (mdb_->pg_buf[0] != MDB_PAGE_DATA || Le32(mdb_->pg_buf + 4) != def_->entry->table_pg)
            throw Damaged(name_, "page " + std::to_string(page) + " no longer holds its rows.");
          current = page;
        }
        int start = 0;
        size_t size = 0;
        if (r >= mdb_get_int16(mdb_->pg_buf, mdb_->fmt->row_count_offset) ||
            !FindRow(static_cast<int>(page), r, &start, &size) || !Crack(static_cast<int>(page), start, size))
          throw Damaged(name_, "a row on page " + std::to_string(page) + " is no longer there.");
        row_.Clear();
        for (unsigned i = 0; i < def_->num_cols; ++i)
          Store(static_cast<MdbColumn*>(g_ptr_array_index(def_->columns, i)), *by_column_[i], row_);
        if (in_order) {
          sink.Row(row_.cells(), places[at]);
          continue;
        }
        slices[at - first] = {batch.size(), row_.cells().size()};
        batch.append(row_.cells());
      }
      if (in_order) continue;
      for (size_t i = 0; i < n; ++i)
        sink.Row(std::string_view(batch).substr(slices[i].first, slices[i].second), places[first + i]);
    }
  }

 private:
  // Makes page `page` (inside the file) libmdb's current page, as
  // mdb_read_pg would, copied straight from the image: libmdb's stream
  // seeks twice and copies each page twice.
  void LoadPage(uint64_t page) {
    const auto size = static_cast<size_t>(facts_.page_size);
    std::memcpy(mdb_->pg_buf, image_ + page * size, size);
    mdb_->cur_pg = static_cast<guint32>(page);
    mdb_->cur_pos = 0;
  }

  // Finds, as mdb_find_pg_row does but in place in the image, row
  // `pg_row & 0xFF` of page `pg_row >> 8` (inside the file): its page, its
  // offset and length there; false when its offsets do not hold together.
  // libmdb would swap its page buffers twice for each such row.
  bool FindLongValueRow(uint32_t pg_row, const unsigned char** page, int* off, size_t* len) const {
    const auto size = static_cast<uint32_t>(facts_.page_size);
    const unsigned char* pg = image_ + static_cast<size_t>(pg_row >> 8) * size;
    const uint32_t row = pg_row & 0xFF;
    const auto rco = static_cast<uint32_t>(mdb_->fmt->row_count_offset);
    const uint32_t start = Le16(pg + rco + 2 + row * 2) & 0x1FFF;
    const uint32_t next = row == 0 ? size : Le16(pg + rco + row * 2) & 0x1FFF;
    if (start >= size || start > next || next > size) return false;
    *page = pg;
    *off = static_cast<int>(start);
    *len = next - start;
    return true;
  }

  // Finds row `r` of the current page: false for a deleted or empty row.
  bool FindRow(int page, int r, int* start, size_t* size) {
    if (mdb_find_row(mdb_, r, start, size) != 0 || *size == 0 || (*start & 0x4000)) return false;
    if (*start & 0x8000)
      throw ProviderFailure{kEFail,
                            "The table '" + name_ + "' holds a row in a form this reader cannot "
                            "read (an overflow row on page " + std::to_string(page) +
                            "). Compact the database in Access and try again.",
                            {}};
    *start &= 0x1FFF;
    return true;
  }

  // Splits the row at `start` into by_column_, checking that each value
  // lies inside it; false when libmdb cannot split it.
  bool Crack(int page, int start, size_t size) {
    if (def_->num_cols == 0 || mdb_crack_row(def_, start, size, fields_.data()) < 0) return false;
    std::fill(by_column_.begin(), by_column_.end(), nullptr);
    for (unsigned i = 0; i < def_->num_cols; ++i) {
      const MdbField& f = fields_[i];
      if (f.colnum < 0 || f.colnum >= static_cast<int>(def_->num_cols) || by_column_[static_cast<size_t>(f.colnum)])
        throw Damaged(name_, "a row does not match the table's columns.");
      if (!f.is_null && f.siz != 0 &&
          (f.start < start || f.siz < 0 ||
           static_cast<size_t>(f.start) + static_cast<size_t>(f.siz) > static_cast<size_t>(start) + size))
        throw Damaged(name_, "a value lies outside its row on page " + std::to_string(page) + ".");
      by_column_[static_cast<size_t>(f.colnum)] = &f;
    }
    return true;
  }

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

  // Checks a value that is not sent as Store would, without decoding text.
  void Check(MdbColumn* col, const MdbField& f) {
    switch (col->col_type) {
      case MDB_TEXT:
        return;
      case MDB_MEMO:
      case MDB_OLE:
        if (!f.is_null) ReadLongValue(col, f);
        return;
      default:
        scratch_.Clear();
        return Store(col, f, scratch_);
    }
  }

  void Store(MdbColumn* col, const MdbField& f, RowBuilder& row) {
    RowBuilder* out = &row;
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
    if (!facts_.jet3()) return AppendJetText(p, n, &text_);
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
      const unsigned char* page = nullptr;
      int off = 0;
      size_t len = 0;
      if (!FindLongValueRow(pg_row, &page, &off, &len) || page[0] != MDB_PAGE_DATA)
        throw Damaged(name_, where + " is missing.");
      const char* row = reinterpret_cast<const char*>(page) + off;
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
  const unsigned char* image_;
  const FileFacts& facts_;
  std::string name_;
  std::function<void()> release_;
  std::vector<MdbField> fields_;
  std::vector<const MdbField*> by_column_;
  RowBuilder row_;          // reused for every row
  RowBuilder scratch_;      // for values checked, not sent
  std::string text_;        // reused for every text value
  std::string long_value_;  // reused for every memo and OLE value
};

}  // namespace

struct MdbReader::Handle {
  std::unique_ptr<MdbHandle, decltype(&mdb_close)> mdb{nullptr, mdb_close};
};

MdbReader::MdbReader(const unsigned char* image, const FileFacts& facts, std::string path,
                     OutputCapture& capture, bool image_is_mapped_file)
    : image_(image),
      releasable_(image_is_mapped_file),
      facts_(facts),
      path_(std::move(path)),
      capture_(capture),
      mdb_(std::make_unique<Handle>()) {
  // libmdb reads the buffer through a read-only stream and never writes it.
  mdb_->mdb.reset(mdb_open_buffer(const_cast<unsigned char*>(image), static_cast<size_t>(facts.size), MDB_NOFLAGS));
  if (!mdb_->mdb) throw ProviderFailure{kEFail, BadFormatText(path_), capture_.Take()};
}

MdbReader::~MdbReader() = default;

void MdbReader::ReadCatalog() {
  // The catalog is a table like any other, and libmdb follows its page map
  // as blindly.
  try {
    CheckTableDefinition(image_, facts_, 2, "MSysObjects");
  } catch (const ProviderFailure& f) {
    throw ProviderFailure{kEFail, BadFormatText(path_) + " " + f.description, {}, true};
  }
  if (!mdb_read_catalog(mdb_->mdb.get(), MDB_TABLE) || mdb_->mdb->num_catalog == 0)
    throw ProviderFailure{kEFail, BadFormatText(path_), capture_.Take(), true};
  auto warnings = capture_.Take();
  if (!warnings.empty()) throw ProviderFailure{kEFail, BadFormatText(path_), warnings, true};
}

void MdbReader::ReleasePages() const {
  // Dropping a private mapping's unwritten pages only loses the copies:
  // the next access reads them from the file again.
  if (releasable_) madvise(const_cast<unsigned char*>(image_), static_cast<size_t>(facts_.size), MADV_DONTNEED);
}

struct MdbReader::Definition {
  MdbCatalogEntry* entry;
  TableDefPtr def;
};

MdbReader::Definition MdbReader::Find(const std::string& name) {
  MdbHandle* mdb = mdb_->mdb.get();
  MdbCatalogEntry* entry = nullptr;
  for (unsigned i = 0; i < mdb->num_catalog && !entry; ++i) {
    auto* e = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
    if (e->object_type == MDB_TABLE && text::EqualsIgnoreAsciiCase(e->object_name, name)) entry = e;
  }
  if (!entry) throw NoTable(name);
  CheckTableDefinition(image_, facts_, static_cast<uint32_t>(entry->table_pg), entry->object_name);
  TableDefPtr def(mdb_read_table(entry), mdb_free_tabledef);
  if (!def || !mdb_read_columns(def.get()))
    throw Damaged(entry->object_name, "its definition is invalid.", capture_.Take());
  return {entry, std::move(def)};
}

void MdbReader::ReadTable(const std::string& name, const TableReading& what, TableSink& sink) {
  const Definition d = Find(name);
  TableReader reader(mdb_->mdb.get(), d.def.get(), image_, facts_, [this] { ReleasePages(); });
  uint64_t count = 0;
  if (what.rows) {
    std::vector<bool> keep(d.def->num_cols, true);
    if (what.keys) {
      const std::vector<ColumnInfo> columns = reader.Columns();
      for (size_t i = 0; i < columns.size(); ++i) {
        keep[i] = false;
        for (const auto& key : *what.keys) keep[i] = keep[i] || text::EqualsIgnoreAsciiCase(key, columns[i].name);
      }
    }
    count = reader.Read(sink, keep, what.keys != nullptr);
  } else {
    sink.BeginTable(d.entry->object_name, reader.Columns(), false);
  }
  auto warnings = capture_.Take();
  if (!warnings.empty()) throw Damaged(d.entry->object_name, "libmdb reported problems.", warnings);
  if (what.rows && count != d.def->num_rows)
    throw Damaged(d.entry->object_name, "its definition counts " + std::to_string(d.def->num_rows) +
                                            " rows, but " + std::to_string(count) + " could be read.");
  sink.EndTable(count);
}

void MdbReader::ReadRowsAt(const std::string& name, const std::vector<uint64_t>& places, TableSink& sink) {
  const Definition d = Find(name);
  TableReader reader(mdb_->mdb.get(), d.def.get(), image_, facts_, [this] { ReleasePages(); });
  reader.ReadAt(places, sink);
  auto warnings = capture_.Take();
  if (!warnings.empty()) throw Damaged(d.entry->object_name, "libmdb reported problems.", warnings);
  sink.EndTable(places.size());
}

}  // namespace tavrin::ado::access
