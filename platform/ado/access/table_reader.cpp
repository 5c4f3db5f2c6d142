#include "platform/ado/access/table_reader.h"

#include <mdbtools.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/table_values.h"
#include "platform/text/ascii.h"

namespace tavrin::ado::access {
namespace {

using TableDefPtr = std::unique_ptr<MdbTableDef, decltype(&mdb_free_tabledef)>;

// Rows read again at once, in the order of the file: 8,192 at first, then
// each batch twice the one before, up to as many rows as make about
// 1.5 MiB (judged by the batches before). The rows of a batch lie a page
// apart or more, so each page of the file is read about once per batch: the
// fewer the batches, the fewer the pages read, but a batch and the one
// before it are held at once; small batches at first keep the reader near
// the rows handed out while the report starts.
constexpr size_t kBatchBytes = size_t{3} << 19;
constexpr size_t kFirstBatchRows = 8192;
constexpr size_t kFewestBatchRows = 1024;
constexpr size_t kMostBatchRows = 65536;
// From the third batch on, the rows of a batch wait in the sink while the
// next batch is read, and go to the program every so many pages: often
// enough that the pipe never runs dry (a page takes a few microseconds),
// seldom enough to cost little. The first two batches go out whole before
// more is read, which keeps the reader near the rows handed out while the
// report starts.
constexpr size_t kFirstBatchHeld = 3;
constexpr uint64_t kPagesPerPump = 32;

// Gives back the image's pages (see MdbReader::ReleasePages) whenever the
// pages read since the last time span 2 MiB of the file and number 256 or
// more. The kernel maps a page's neighbours with it, so the span, not their
// number, bounds how much of the file stays resident while pages are read
// in order; the number spaces out the releases, which each cost a walk of
// the whole mapping, while they are read in another order (rows read again).
class PageRelease {
 public:
  explicit PageRelease(const std::function<void()>& release) : release_(release) {}
  void Read(uint64_t page) {
    low_ = std::min(low_, page);
    high_ = std::max(high_, page);
    if (++read_ < kFewestPages || high_ - low_ < kSpan) return;
    release_();
    low_ = high_ = page;
    read_ = 0;
  }

 private:
  static constexpr uint64_t kSpan = 512;  // pages of 4 KiB
  static constexpr uint64_t kFewestPages = 256;
  const std::function<void()>& release_;
  uint64_t low_ = UINT64_MAX;
  uint64_t high_ = 0;
  uint64_t read_ = 0;  // pages since the last release
};

class TableReader {
 public:
  // `image` is the file that `mdb` reads, and `file_fd` (-1: none) a
  // descriptor of it to load pages from (see MdbReader).
  TableReader(MdbHandle* mdb, MdbTableDef* def, const unsigned char* image, int file_fd, const FileFacts& facts,
              std::function<void()> release)
      : mdb_(mdb), def_(def), image_(image), file_fd_(file_fd), facts_(facts), name_(def->name),
        release_(std::move(release)),
        fields_(def->num_cols), by_column_(def->num_cols), values_(mdb, image, facts, name_) {}

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
          const auto& col = *static_cast<MdbColumn*>(g_ptr_array_index(def_->columns, i));
          if (keep[i]) values_.Store(col, *by_column_[i], row_);
          else values_.Check(col, *by_column_[i]);
        }
        if (++count > def_->num_rows)
          throw Damaged(name_, "it holds more rows than its definition counts (" +
                                   std::to_string(def_->num_rows) + ").");
        sink.Row(row_.cells(), (static_cast<uint64_t>(page) << 16) | static_cast<unsigned>(r));
      }
    }
    return count;
  }

  // Streams the rows at `places`, the values of the columns that `keep`
  // marks, into `sink` (its table begun, not ended). The rows are read in
  // batches, each in the order of the file, and sent in the order asked
  // while the next batch is read.
  void ReadAt(const std::vector<uint64_t>& places, const std::vector<bool>& keep, TableSink& sink) {
    std::vector<ColumnInfo> columns = Columns();
    for (size_t i = 0; i < columns.size(); ++i) columns[i].loaded = keep[i];
    sink.BeginTable(def_->entry->object_name, columns, false);
    uint64_t current = 0;
    PageRelease pages(release_);
    std::vector<size_t> by_place;
    std::vector<std::pair<size_t, size_t>> slices;  // of each row of the batch in `batch`
    std::string batch;
    size_t rows_per_batch = kFirstBatchRows;
    uint64_t loaded = 0;  // pages
    for (size_t first = 0, n = 0, number = 1; first < places.size(); first += n, ++number) {
      n = std::min(rows_per_batch, places.size() - first);
      by_place.resize(n);
      for (size_t i = 0; i < n; ++i) by_place[i] = first + i;
      // Rows asked for in file order (a report without a sort) go straight on.
      const auto from = places.begin() + static_cast<std::ptrdiff_t>(first);
      const bool in_order = std::is_sorted(from, from + static_cast<std::ptrdiff_t>(n));
      if (!in_order)
        std::sort(by_place.begin(), by_place.end(), [&](size_t a, size_t b) { return places[a] < places[b]; });
      slices.assign(n, {0, 0});
      batch.clear();
      if (in_order) sink.HoldRows(false);
      for (const size_t at : by_place) {
        const uint64_t page = places[at] >> 16;
        const int r = static_cast<int>(places[at] & 0xFFFF);
        if (page != current) {
          if (page == 0 || page >= static_cast<uint64_t>(facts_.pages))
            throw Damaged(name_, "a row to read again lies outside the file.");
          pages.Read(page);
          LoadPage(page);
          if (++loaded % kPagesPerPump == 0) sink.Pump();
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
          if (keep[i]) values_.Store(*static_cast<MdbColumn*>(g_ptr_array_index(def_->columns, i)), *by_column_[i], row_);
        if (in_order) {
          sink.Row(row_.cells(), places[at]);
          continue;
        }
        slices[at - first] = {batch.size(), row_.cells().size()};
        batch.append(row_.cells());
      }
      if (in_order) continue;
      sink.HoldRows(number >= kFirstBatchHeld);
      for (size_t i = 0; i < n; ++i)
        sink.Row(std::string_view(batch).substr(slices[i].first, slices[i].second), places[first + i]);
      sink.Pump();
      if (!batch.empty())
        rows_per_batch = std::min(2 * n, std::clamp(kBatchBytes / (batch.size() / n + 1), kFewestBatchRows,
                                                    kMostBatchRows));
    }
  }

 private:
  // Makes page `page` (inside the file) libmdb's current page, as
  // mdb_read_pg would, copied straight from the image (libmdb's stream
  // seeks twice and copies each page twice), or read from the file: rows
  // read again lie a page or more apart, and mapping each page (with its
  // neighbours) and giving it back cost more than reading it.
  void LoadPage(uint64_t page) {
    const auto size = static_cast<size_t>(facts_.page_size);
    if (file_fd_ < 0) {
      std::memcpy(mdb_->pg_buf, image_ + page * size, size);
    } else {
      ssize_t got;
      do got = pread(file_fd_, mdb_->pg_buf, size, static_cast<off_t>(page * size));
      while (got < 0 && errno == EINTR);
      // A file cut short since it was checked holds nothing there now.
      if (got < 0 || static_cast<size_t>(got) != size) std::memset(mdb_->pg_buf, 0, size);
    }
    mdb_->cur_pg = static_cast<guint32>(page);
    mdb_->cur_pos = 0;
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

  MdbHandle* mdb_;
  MdbTableDef* def_;
  const unsigned char* image_;
  const int file_fd_;
  const FileFacts& facts_;
  std::string name_;
  std::function<void()> release_;
  std::vector<MdbField> fields_;
  std::vector<const MdbField*> by_column_;
  ValueDecoder values_;
  RowBuilder row_;  // reused for every row
};

}  // namespace

struct MdbReader::Handle {
  std::unique_ptr<MdbHandle, decltype(&mdb_close)> mdb{nullptr, mdb_close};
};

MdbReader::MdbReader(const unsigned char* image, const FileFacts& facts, std::string path,
                     OutputCapture& capture, int file_fd)
    : image_(image),
      file_fd_(file_fd),
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
  if (file_fd_ >= 0) madvise(const_cast<unsigned char*>(image_), static_cast<size_t>(facts_.size), MADV_DONTNEED);
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
  TableReader reader(mdb_->mdb.get(), d.def.get(), image_, -1, facts_, [this] { ReleasePages(); });
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

void MdbReader::ReadRowsAt(const std::string& name, const std::vector<uint64_t>& places,
                           const std::vector<bool>& columns, TableSink& sink) {
  const Definition d = Find(name);
  if (!columns.empty() && columns.size() != d.def->num_cols)
    throw Damaged(d.entry->object_name, "its columns are not those of its first reading.");
  TableReader reader(mdb_->mdb.get(), d.def.get(), image_, file_fd_, facts_, [this] { ReleasePages(); });
  reader.ReadAt(places, columns.empty() ? std::vector<bool>(d.def->num_cols, true) : columns, sink);
  auto warnings = capture_.Take();
  if (!warnings.empty()) throw Damaged(d.entry->object_name, "libmdb reported problems.", warnings);
  sink.EndTable(places.size());
}

}  // namespace tavrin::ado::access
