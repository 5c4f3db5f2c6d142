#include "platform/ado/access/table_values.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_text.h"
#include "platform/ado/oledate.h"

namespace tavrin::ado::access {
namespace {

// The bytes a value of libmdb's type `type` takes at least.
int FixedSize(int type) {
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

}  // namespace

Tag DeclaredTag(int type) {
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

ValueDecoder::ValueDecoder(MdbHandle* mdb, const unsigned char* image, const FileFacts& facts, std::string table)
    : mdb_(mdb), image_(image), facts_(facts), table_(std::move(table)) {}

// Checks a value that is not sent as Store would, without decoding text.
void ValueDecoder::Check(const MdbColumn& col, const MdbField& f) {
  switch (col.col_type) {
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

void ValueDecoder::Store(const MdbColumn& col, const MdbField& f, RowBuilder& row) {
  RowBuilder* out = &row;
  const int type = col.col_type;
  if (type == MDB_BOOL) return out->AddNumber(Tag::kLong, f.is_null ? 0 : -1);
  if (f.is_null) return out->AddNull();
  if (f.siz < FixedSize(type))
    throw Damaged(table_, "a value of column '" + std::string(col.name) + "' is too short.");
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
      char* s = mdb_numeric_to_string(mdb_, f.start, col.col_scale, col.col_prec);
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

void ValueDecoder::AppendText(const unsigned char* p, size_t n) {
  if (!facts_.jet3()) return AppendJetText(p, n, &text_);
  // Jet 3 text is in the file's code page, which libmdb converts.
  std::string buf(n * 3 + 1, '\0');
  const int len = mdb_unicode2ascii(mdb_, reinterpret_cast<const char*>(p), n, buf.data(), buf.size());
  text_.append(buf.data(), static_cast<size_t>(std::max(len, 0)));
}

// Reads a memo or OLE value whole into long_value_: inline, on one
// long-value row, or along a chain of them whose parts must add up to the
// length its header states.
void ValueDecoder::ReadLongValue(const MdbColumn& col, const MdbField& f) {
  long_value_.clear();
  if (f.siz == 0) return;
  if (f.siz < MDB_MEMO_OVERHEAD)
    throw Damaged(table_, "a value of column '" + std::string(col.name) + "' is too short.");
  const unsigned char* p = mdb_->pg_buf + f.start;
  const uint32_t header = Le32(p);
  const unsigned flags = header >> 24;
  const size_t length = header & 0x3FFFFFFF;
  const std::string where = "the long value of column '" + std::string(col.name) + "'";
  if (flags & 0x80) {
    if (length != static_cast<size_t>(f.siz) - MDB_MEMO_OVERHEAD)
      throw Damaged(table_, where + " has a wrong length.");
    long_value_.assign(reinterpret_cast<const char*>(p) + MDB_MEMO_OVERHEAD, length);
    return;
  }
  if (flags != 0x40 && flags != 0)
    throw Damaged(table_, where + " is stored in an unknown form.");
  // A length beyond the file's size is junk; do not allocate for it.
  if (length > static_cast<size_t>(facts_.pages) * static_cast<size_t>(facts_.page_size))
    throw Damaged(table_, where + " is longer than the file.");
  uint32_t pg_row = Le32(p + 4);
  const bool single = flags == 0x40;
  long_value_.reserve(length);
  while (long_value_.size() < length || single) {
    if ((pg_row >> 8) == 0 || (pg_row >> 8) >= facts_.pages)
      throw Damaged(table_, where + " points outside the file.");
    const unsigned char* page = nullptr;
    int off = 0;
    size_t len = 0;
    if (!FindLongValueRow(pg_row, &page, &off, &len) || page[0] != MDB_PAGE_DATA)
      throw Damaged(table_, where + " is missing.");
    const char* row = reinterpret_cast<const char*>(page) + off;
    if (single) {
      if (len < length) throw Damaged(table_, where + " is shorter than its length.");
      long_value_.assign(row, length);
      return;
    }
    if (len <= 4 || long_value_.size() + (len - 4) > length)
      throw Damaged(table_, where + " does not add up to its length.");
    long_value_.append(row + 4, len - 4);
    pg_row = Le32(reinterpret_cast<const unsigned char*>(row));
    if (pg_row == 0) break;
  }
  if (long_value_.size() != length) throw Damaged(table_, where + " does not add up to its length.");
}

// Finds, as mdb_find_pg_row does but in place in the image, row
// `pg_row & 0xFF` of page `pg_row >> 8` (inside the file): its page, its
// offset and length there; false when its offsets do not hold together.
// libmdb would swap its page buffers twice for each such row.
bool ValueDecoder::FindLongValueRow(uint32_t pg_row, const unsigned char** page, int* off, size_t* len) const {
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

}  // namespace tavrin::ado::access
