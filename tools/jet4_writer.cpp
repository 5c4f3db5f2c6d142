#include "tools/jet4_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "data/org_info.h"
#include "platform/ado/access/access_header.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin::jet4 {
namespace {

namespace access = ado::access;

constexpr int kMaxRowsPerPage = 255;         // the row number in a page/row pointer is one byte
constexpr int kMaxColumns = 255;             // readers take the column number as one byte
constexpr int kMaxNameChars = 64;
constexpr int kTdefContinuation = 8;         // header of every further TDEF page
constexpr int kMemoHeader = 12;
constexpr int kMemoInlineMax = 64;           // stored bytes kept in the row itself
constexpr int kMemoCompressMaxChars = 1024;  // longer memos are stored uncompressed
constexpr uint32_t kMemoMaxBytes = 0xFFFFFF; // the memo length field has 24 bits
constexpr uint32_t kTdefConstant = 1625;
constexpr uint16_t kSortGeneral = 0x0409;
constexpr uint16_t kCodePage = 1252;

access::AccessVersion VersionOf(Format f) {
  switch (f) {
    case Format::kJet3: return access::AccessVersion::kJet3;
    case Format::kJet4: return access::AccessVersion::kJet4;
    case Format::kAce12: return access::AccessVersion::kAce12;
    case Format::kAce14: return access::AccessVersion::kAce14;
    case Format::kAce15: return access::AccessVersion::kAce15;
    case Format::kAce16: return access::AccessVersion::kAce16;
    case Format::kAce17: return access::AccessVersion::kAce17;
  }
  throw std::invalid_argument("unknown format");
}

// Where the versions' pages differ. ACE files are laid out as Jet 4; Jet 3
// has 2 KB pages, shorter headers, one-byte lengths and offsets in rows and
// names, and larger usage maps.
struct Layout {
  access::AccessVersion version;
  bool jet3;
  int page_size;
  int page_header;     // data/LVAL page header up to the row offset table
  int max_row;         // one row alone on a page with its offset
  int tdef_header;     // TDEF bytes before the first column entry
  int column_entry;
  int tdef_num_rows;   // where the TDEF holds the row count
  int tdef_maps;       // and the pointers to the owned-pages and free-pages maps
  int usage_map_size;  // bytes of each of a table's two usage map rows
  uint8_t sort_version;  // of the General sort order: 1 ("General") from ACE 14 on, 0 ("General legacy") before

  int lval_chunk() const { return max_row - 4; }                     // chained LVAL row: next pointer + data
  int type0_map_pages() const { return (usage_map_size - 5) * 8; }   // pages one inline bitmap covers
  int type1_map_entries() const { return (usage_map_size - 1) / 4; } // map pages one reference map names
  uint32_t map_page_bits() const { return static_cast<uint32_t>(page_size - 4) * 8; }  // pages one 0x05 page covers
};

Layout LayoutOf(Format f) {
  Layout l{};
  l.version = VersionOf(f);
  l.jet3 = l.version == access::AccessVersion::kJet3;
  l.page_size = access::PageSize(l.version);
  l.page_header = l.jet3 ? 10 : 14;
  l.max_row = l.page_size - l.page_header - 2;
  l.tdef_header = l.jet3 ? 43 : 63;
  l.column_entry = l.jet3 ? 18 : 25;
  l.tdef_num_rows = l.jet3 ? 12 : 16;
  l.tdef_maps = l.jet3 ? 35 : 55;
  l.usage_map_size = l.jet3 ? 128 : 64;
  l.sort_version = l.version >= access::AccessVersion::kAce14 ? 1 : 0;
  return l;
}

// Column type codes of the file format.
enum JetType : uint8_t {
  kJetInteger = 0x03,
  kJetLong = 0x04,
  kJetDouble = 0x07,
  kJetDateTime = 0x08,
  kJetBinary = 0x09,
  kJetText = 0x0A,
  kJetOle = 0x0B,
  kJetMemo = 0x0C,
};

using Bytes = std::vector<uint8_t>;
using Page = std::vector<uint8_t>;  // of the layout's page size

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

void PutDouble(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  Put32(p, static_cast<uint32_t>(bits));
  Put32(p + 4, static_cast<uint32_t>(bits >> 32));
}

uint32_t PageRow(uint32_t page, int row) { return page << 8 | static_cast<uint32_t>(row); }

// UTF-8 to UTF-16 code units; throws on malformed input so that nothing
// unreadable reaches the file.
std::u16string Utf8ToUtf16(const std::string& s) {
  if (!text::IsValidUtf8(s)) throw std::invalid_argument("invalid UTF-8 text");
  return text::Utf8ToUtf16(s);
}

Bytes Ucs2(const std::u16string& u) {
  Bytes out(u.size() * 2);
  for (size_t i = 0; i < u.size(); ++i) Put16(&out[2 * i], u[i]);
  return out;
}

// The stored form of a text: UCS-2LE, or the compressed form (FF FE, then one
// byte per character, a 00 byte switching between one- and two-byte
// characters) when that is shorter. A unit whose low byte is 00 would read as
// a switch, so such a text stays UCS-2; a UCS-2 text starting with U+FEFF
// would read as compressed, so such a text is always compressed.
Bytes EncodeText(const std::u16string& u, bool allow_compression) {
  const bool starts_with_bom = !u.empty() && u[0] == 0xFEFF;
  const bool compressible =
      std::none_of(u.begin(), u.end(), [](char16_t c) { return (c & 0xFF) == 0; });
  if (starts_with_bom && !compressible)
    throw std::invalid_argument("text starting with U+FEFF must not contain a character with low byte 0");
  if (!compressible || (!allow_compression && !starts_with_bom)) return Ucs2(u);
  Bytes packed = {0xFF, 0xFE};
  bool single = true;
  for (size_t i = 0; i < u.size(); ++i) {
    const bool fits = u[i] <= 0xFF;
    const bool next_fits = i + 1 < u.size() && u[i + 1] <= 0xFF;
    if (single && !fits) {
      packed.push_back(0);
      single = false;
    } else if (!single && fits && next_fits) {
      packed.push_back(0);
      single = true;
    }
    packed.push_back(static_cast<uint8_t>(u[i]));
    if (!single) packed.push_back(static_cast<uint8_t>(u[i] >> 8));
  }
  if (packed.size() < u.size() * 2 || starts_with_bom) return packed;
  return Ucs2(u);
}

// The Windows-1252 bytes of a Jet 3 text. The five bytes that the code page
// leaves unassigned read back through libmdb as nothing, so their characters
// are refused like any other the code page lacks.
Bytes Cp1252(const std::string& s) {
  const std::optional<std::string> bytes = text::Utf8ToCp1252(s);
  const auto unassigned = [](char b) {
    return text::Cp1252Char(static_cast<unsigned char>(b)) == text::kReplacementChar;
  };
  if (!bytes || std::any_of(bytes->begin(), bytes->end(), unassigned))
    throw std::invalid_argument("text \"" + s + "\" has a character that Windows-1252 lacks");
  return Bytes(bytes->begin(), bytes->end());
}

// A Text or Memo value as stored, and its length in the characters a Text
// column's width counts (UTF-16 units after Jet 3).
struct StoredText {
  Bytes bytes;
  size_t chars = 0;
};

StoredText StoreText(const std::string& s, bool jet3, bool memo) {
  if (jet3) {
    Bytes bytes = Cp1252(s);
    const size_t chars = bytes.size();
    return {std::move(bytes), chars};
  }
  const std::u16string u = Utf8ToUtf16(s);
  return {EncodeText(u, !memo || u.size() <= kMemoCompressMaxChars), u.size()};
}

// A table or column name as a TDEF stores it: a one-byte length and
// Windows-1252 in Jet 3, a two-byte length and UCS-2 after.
Bytes StoredName(const std::string& name, bool jet3) {
  const Bytes text = jet3 ? Cp1252(name) : Ucs2(Utf8ToUtf16(name));
  Bytes out(jet3 ? 1 : 2);
  if (jet3) out[0] = static_cast<uint8_t>(text.size());
  else Put16(&out[0], static_cast<uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

// A file descriptor written page by page at absolute positions.
class PageFile {
 public:
  PageFile(const std::string& path, int page_size)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
        page_size_(static_cast<size_t>(page_size)) {
    if (fd_ < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  }
  ~PageFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;

  void Write(uint32_t page, const Page& bytes) {
    if (bytes.size() != page_size_) throw std::logic_error("a page of the wrong size");
    const off_t at = static_cast<off_t>(page) * static_cast<off_t>(page_size_);
    size_t done = 0;
    while (done < page_size_) {
      const ssize_t n = ::pwrite(fd_, bytes.data() + done, page_size_ - done, at + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error(std::string("cannot write the database: ") + std::strerror(errno));
      done += static_cast<size_t>(n);
    }
  }

  // Flushes and closes; reports the failure that close() may be the first to see.
  void Close() {
    const int fd = std::exchange(fd_, -1);
    if (::fsync(fd) != 0 || ::close(fd) != 0)
      throw std::runtime_error(std::string("cannot write the database: ") + std::strerror(errno));
  }

 private:
  int fd_;
  size_t page_size_;
};

// A data or LVAL page being filled: rows are packed from the end downwards
// and indexed by the offset table after the header, whose last field is
// the row count.
class RowPage {
 public:
  // `owner` is the TDEF page of the table, or kLvalOwner for long values.
  RowPage(uint32_t number, uint32_t owner, const Layout& layout)
      : number_(number), header_(layout.page_header), bytes_(static_cast<size_t>(layout.page_size)),
        low_(layout.page_size) {
    bytes_[0] = 0x01;
    bytes_[1] = 0x01;
    Put32(&bytes_[4], owner);
  }

  uint32_t number() const { return number_; }
  int rows() const { return rows_; }

  bool Fits(size_t size) const {
    return rows_ < kMaxRowsPerPage &&
           low_ - static_cast<int>(size) >= header_ + 2 * (rows_ + 1);
  }

  // Adds a row (which must fit) and returns its pointer.
  uint32_t Add(const Bytes& row) {
    low_ -= static_cast<int>(row.size());
    std::memcpy(&bytes_[static_cast<size_t>(low_)], row.data(), row.size());
    Put16(&bytes_[static_cast<size_t>(header_ + 2 * rows_)], static_cast<uint32_t>(low_));
    return PageRow(number_, rows_++);
  }

  const Page& Seal() {
    Put16(&bytes_[2], static_cast<uint32_t>(low_ - header_ - 2 * rows_));
    Put16(&bytes_[static_cast<size_t>(header_ - 2)], static_cast<uint32_t>(rows_));
    return bytes_;
  }

 private:
  uint32_t number_;
  int header_;
  Page bytes_;
  int rows_ = 0;
  int low_;
};

constexpr uint32_t kNoOwner = 0;
constexpr uint32_t kLvalOwner = 'L' | 'V' << 8 | 'A' << 16 | 'L' << 24;  // "LVAL" on disk

struct ColumnDef {
  std::string name;
  JetType type = kJetText;
  int max_chars = 0;      // Text
  uint16_t length = 0;    // bytes in the TDEF (fixed size, Text's width in bytes, 0 for long values)
  bool fixed = false;
  uint16_t fixed_offset = 0;
  uint16_t var_index = 0;
};

uint16_t FixedSize(JetType t) {
  switch (t) {
    case kJetInteger: return 2;
    case kJetLong: return 4;
    case kJetDouble:
    case kJetDateTime: return 8;
    default: return 0;
  }
}

bool IsTextual(JetType t) { return t == kJetText || t == kJetMemo; }

void CheckName(const std::string& name, const char* what, bool jet3) {
  size_t chars = 0;
  try {
    chars = jet3 ? Cp1252(name).size() : Utf8ToUtf16(name).size();
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(std::string(what) + " name \"" + name + "\": " + e.what());
  }
  if (chars == 0 || chars > kMaxNameChars)
    throw std::invalid_argument(std::string(what) + " name must have 1 to 64 characters: \"" + name + "\"");
}

// A table being written or written already, up to its TDEF, which is
// completed once the usage maps have their place.
struct TableState {
  std::string name;
  bool system = false;
  std::vector<ColumnDef> columns;
  uint16_t fixed_size = 0;
  uint16_t num_var = 0;
  std::vector<uint32_t> tdef_pages;
  Bytes tdef;  // the definition as one byte run, page header of the first page included
  std::vector<uint32_t> data_pages;
  uint32_t num_rows = 0;
  std::optional<RowPage> data;
  std::optional<RowPage> lval;
};

void PutColumnJet3(uint8_t* e, const ColumnDef& c, size_t i) {
  e[0] = c.type;
  Put16(e + 1, static_cast<uint32_t>(i));
  Put16(e + 3, c.fixed ? 0 : c.var_index);
  Put16(e + 5, static_cast<uint32_t>(i));
  if (IsTextual(c.type)) {
    Put16(e + 7, kSortGeneral);
    Put16(e + 9, kCodePage);
  }
  e[13] = c.fixed ? 0x03 : 0x02;
  Put16(e + 14, c.fixed_offset);
  Put16(e + 16, c.length);
}

void PutColumnJet4(uint8_t* e, const ColumnDef& c, size_t i, uint8_t sort_version) {
  e[0] = c.type;
  Put32(e + 1, kTdefConstant);
  Put16(e + 5, static_cast<uint32_t>(i));
  Put16(e + 7, c.fixed ? 0 : c.var_index);
  Put16(e + 9, static_cast<uint32_t>(i));
  if (IsTextual(c.type)) {
    Put16(e + 11, kSortGeneral);
    e[14] = sort_version;
  }
  e[15] = c.fixed ? 0x03 : 0x02;
  e[16] = IsTextual(c.type) ? 0x01 : 0x00;  // compressed text allowed
  Put16(e + 21, c.fixed_offset);
  Put16(e + 23, c.length);
}

// The definition as one byte run; the row count and the map pointers are
// filled in once known, the page headers' third and fourth bytes as it is
// written.
Bytes BuildTdef(const TableState& t, const Layout& l) {
  Bytes d(static_cast<size_t>(l.tdef_header + l.column_entry * static_cast<int>(t.columns.size())), 0);
  d[0] = 0x02;
  d[1] = 0x01;
  const auto ncols = static_cast<uint32_t>(t.columns.size());
  const uint8_t type = t.system ? 'S' : 'N';
  if (l.jet3) {
    d[20] = type;
    Put16(&d[21], ncols);
    Put16(&d[23], t.num_var);
    Put16(&d[25], ncols);
  } else {
    Put32(&d[12], kTdefConstant);
    d[24] = 1;
    d[40] = type;
    Put16(&d[41], ncols);
    Put16(&d[43], t.num_var);
    Put16(&d[45], ncols);
  }
  for (size_t i = 0; i < t.columns.size(); ++i) {
    uint8_t* e = &d[static_cast<size_t>(l.tdef_header) + static_cast<size_t>(l.column_entry) * i];
    if (l.jet3) PutColumnJet3(e, t.columns[i], i);
    else PutColumnJet4(e, t.columns[i], i, l.sort_version);
  }
  for (const ColumnDef& c : t.columns) {
    const Bytes name = StoredName(c.name, l.jet3);
    d.insert(d.end(), name.begin(), name.end());
  }
  d.push_back(0xFF);
  d.push_back(0xFF);
  Put32(&d[8], static_cast<uint32_t>(d.size()));
  return d;
}

size_t TdefPageCount(size_t tdef_size, size_t page_size) {
  if (tdef_size <= page_size) return 1;
  const size_t per_page = page_size - kTdefContinuation;
  return 1 + (tdef_size - page_size + per_page - 1) / per_page;
}

// Jet 3 rows give variable columns one-byte offsets: each multiple of 256
// that a row passes has an entry in a jump table, and libmdb takes the
// number of entries from the row's length, (length - 1) / 256, a length that
// includes the table itself. The smallest count that satisfies that for a
// row of `base` bytes without the table.
size_t Jet3JumpCount(size_t base) {
  size_t jumps = 0;
  while ((base + jumps - 1) / 256 > jumps) ++jumps;
  return jumps;
}

// The size of a row, where its variable data ends and, in Jet 3, the size
// of its jump table.
struct RowShape {
  size_t size = 0;
  size_t eod = 0;
  size_t jumps = 0;
};

RowShape ShapeRow(const Layout& l, size_t ncols, size_t fixed_size, size_t var_size, size_t num_var) {
  const size_t mask_size = (ncols + 7) / 8;
  const size_t eod = (l.jet3 ? 1 : 2) + fixed_size + var_size;
  if (num_var == 0) return {eod + mask_size, eod, 0};
  if (!l.jet3) return {eod + 2 * num_var + 4 + mask_size, eod, 0};
  const size_t base = eod + 1 + num_var + 1 + mask_size;  // end of data, offsets, count
  const size_t jumps = Jet3JumpCount(base);
  return {base + jumps, eod, jumps};
}

// A row: the column count, the fixed columns at their offsets, the variable
// ones in order, then (when the table has variable columns) their offsets
// from the row's start, the end of their data first and the first column's
// last, then their count, and the null mask. Jet 4 gives the count and each
// offset two bytes. Jet 3 gives them one byte each and puts the jump table
// before the count, entry 0 nearest it: entry k names the first variable
// column (or the end of data, number num_var) at or past offset (k + 1) * 256,
// and entries the data does not reach are 0xFF.
Bytes PackRow(const Layout& l, const RowShape& shape, size_t ncols, const Bytes& fixed,
              const std::vector<Bytes>& var, const Bytes& null_mask) {
  Bytes out(shape.size, 0);
  const size_t prefix = l.jet3 ? 1 : 2;
  if (l.jet3) out[0] = static_cast<uint8_t>(ncols);
  else Put16(&out[0], static_cast<uint32_t>(ncols));
  std::copy(fixed.begin(), fixed.end(), out.begin() + static_cast<std::ptrdiff_t>(prefix));
  std::vector<size_t> offsets;  // of each variable column, then of the end of data
  size_t at = prefix + fixed.size();
  for (const Bytes& v : var) {
    offsets.push_back(at);
    std::copy(v.begin(), v.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    at += v.size();
  }
  offsets.push_back(at);
  const size_t mask_at = shape.size - null_mask.size();
  std::copy(null_mask.begin(), null_mask.end(), out.begin() + static_cast<std::ptrdiff_t>(mask_at));
  if (var.empty()) return out;
  if (l.jet3) {
    const size_t count_at = mask_at - 1;
    out[count_at] = static_cast<uint8_t>(var.size());
    for (size_t k = 0; k < shape.jumps; ++k) {
      const auto first = std::find_if(offsets.begin(), offsets.end(), [&](size_t o) { return o >= (k + 1) * 256; });
      out[count_at - 1 - k] = first == offsets.end() ? 0xFF : static_cast<uint8_t>(first - offsets.begin());
    }
    const size_t table = count_at - 1 - shape.jumps;  // the first column's offset, the others below it
    for (size_t i = 0; i < offsets.size(); ++i) out[table - i] = static_cast<uint8_t>(offsets[i]);
  } else {
    const size_t count_at = mask_at - 2;
    Put16(&out[count_at], static_cast<uint32_t>(var.size()));
    for (size_t i = 0; i < offsets.size(); ++i)
      Put16(&out[count_at - 2 * (i + 1)], static_cast<uint32_t>(offsets[i]));
  }
  return out;
}

Page BuildHeader(const Layout& l, double created) {
  Page p(static_cast<size_t>(l.page_size), 0);
  p[1] = 0x01;
  std::memcpy(&p[4], access::Signature(l.version), 16);
  p[access::kVersionOffset] = static_cast<uint8_t>(l.version);
  // Access 2010 writes 03 01 00 00 here more often than 03 00 00 00.
  if (l.version == access::AccessVersion::kAce14) p[access::kVersionOffset + 1] = 0x01;
  Put16(&p[access::kCodePageOffset], kCodePage);
  Put32(&p[access::kDatabaseKeyOffset], 0);  // no database key: pages are stored in clear
  if (l.jet3) {
    Put16(&p[0x3A], kSortGeneral);  // the 20 bytes of the password stay 0: none
  } else {
    // The empty password is stored as the mask derived from the creation date.
    const auto mask = static_cast<uint32_t>(static_cast<int32_t>(std::floor(created)));
    for (size_t i = 0; i < 40; i += 4) Put32(&p[access::kPasswordOffset + i], mask);
    Put16(&p[0x6E], kSortGeneral);
    p[0x71] = l.sort_version;
    PutDouble(&p[0x72], created);
  }
  access::ApplyHeaderMask(&p[access::kMaskedOffset], access::MaskedLength(l.version));
  return p;
}

// 2024-01-01: a fixed creation date keeps equal input producing equal files.
constexpr double kCreated = 45292.0;

}  // namespace

struct Writer::Impl {
  Impl(const std::string& path, Format format) : layout(LayoutOf(format)), file(path, layout.page_size) {}

  const Layout layout;
  PageFile file;
  uint32_t next_page = 3;  // 0 header, 1 global map, 2 MSysObjects definition
  std::vector<TableState> done;
  std::optional<TableState> current;
  bool finished = false;

  // Page numbers stop where the reference maps end (about 2 GB, 1 GB in Jet 3).
  uint32_t Allocate() {
    const uint32_t limit = layout.map_page_bits() * static_cast<uint32_t>(layout.type1_map_entries());
    if (next_page >= limit)
      throw std::runtime_error("the database would grow beyond " +
                               std::to_string((uint64_t{limit} * static_cast<uint64_t>(layout.page_size)) >> 20) +
                               " MB, all its page maps can name");
    return next_page++;
  }

  void Begin(const std::string& name, std::vector<ColumnDef> columns, bool system,
             std::optional<uint32_t> tdef_page);
  void Add(const std::vector<Value>& row);
  void End();
  Bytes StoreLongValue(TableState& t, const Bytes& data);
  uint32_t AddLvalRow(TableState& t, const Bytes& row);
  void WriteUsageMaps();
  void WriteTdef(const TableState& t);
};

void Writer::Impl::Begin(const std::string& name, std::vector<ColumnDef> columns, bool system,
                         std::optional<uint32_t> tdef_page) {
  if (finished) throw std::logic_error("the file is finished");
  if (current) throw std::logic_error("the previous table has not been ended");
  CheckName(name, "table", layout.jet3);
  if (columns.empty() || columns.size() > kMaxColumns)
    throw std::invalid_argument("table " + name + " must have 1 to 255 columns");
  for (const TableState& t : done)
    if (text::EqualsIgnoreAsciiCase(t.name, name))
      throw std::invalid_argument("duplicate table name: " + name);

  TableState t;
  t.name = name;
  t.system = system;
  for (size_t i = 0; i < columns.size(); ++i) {
    ColumnDef& c = columns[i];
    CheckName(c.name, "column", layout.jet3);
    for (size_t k = 0; k < i; ++k)
      if (text::EqualsIgnoreAsciiCase(columns[k].name, c.name))
        throw std::invalid_argument("duplicate column name in " + name + ": " + c.name);
    const uint16_t fixed = FixedSize(c.type);
    if (fixed) {
      c.fixed = true;
      c.length = fixed;
      c.fixed_offset = t.fixed_size;
      t.fixed_size = static_cast<uint16_t>(t.fixed_size + fixed);
    } else {
      c.var_index = t.num_var++;
      if (c.type == kJetText) c.length = static_cast<uint16_t>(layout.jet3 ? c.max_chars : 2 * c.max_chars);
    }
  }
  t.columns = std::move(columns);
  t.tdef = BuildTdef(t, layout);
  const size_t pages = TdefPageCount(t.tdef.size(), static_cast<size_t>(layout.page_size));
  if (tdef_page) {
    if (pages != 1) throw std::logic_error("the system table definition must fit on one page");
    t.tdef_pages.push_back(*tdef_page);
  } else {
    for (size_t i = 0; i < pages; ++i) t.tdef_pages.push_back(Allocate());
  }
  current = std::move(t);
}

uint32_t Writer::Impl::AddLvalRow(TableState& t, const Bytes& row) {
  if (t.lval && !t.lval->Fits(row.size())) {
    file.Write(t.lval->number(), t.lval->Seal());
    t.lval.reset();
  }
  if (!t.lval) t.lval.emplace(Allocate(), kLvalOwner, layout);
  return t.lval->Add(row);
}

// Stores a long value outside the row and returns its 12-byte column header.
Bytes Writer::Impl::StoreLongValue(TableState& t, const Bytes& data) {
  Bytes header(kMemoHeader, 0);
  const auto size = static_cast<uint32_t>(data.size());
  if (data.size() <= static_cast<size_t>(layout.max_row)) {
    Put32(&header[0], size | 0x40000000u);
    Put32(&header[4], AddLvalRow(t, data));
    return header;
  }
  // A chain: each row holds the pointer to the next and up to 4076 bytes
  // (2032 in Jet 3). Rows are placed last first so that each knows its successor.
  const auto chunk = static_cast<size_t>(layout.lval_chunk());
  const size_t chunks = (data.size() + chunk - 1) / chunk;
  uint32_t next = 0;
  for (size_t k = chunks; k-- > 0;) {
    const size_t from = k * chunk;
    const size_t n = std::min(chunk, data.size() - from);
    Bytes row(4 + n);
    Put32(&row[0], next);
    std::memcpy(&row[4], &data[from], n);
    next = AddLvalRow(t, row);
  }
  Put32(&header[0], size);
  Put32(&header[4], next);
  return header;
}

void Writer::Impl::Add(const std::vector<Value>& row) {
  if (!current) throw std::logic_error("no table has been begun");
  TableState& t = *current;
  if (row.size() != t.columns.size())
    throw std::invalid_argument("table " + t.name + " has " + std::to_string(t.columns.size()) +
                                " columns, the row has " + std::to_string(row.size()) + " values");

  // First check and encode every value, so that a refused row leaves nothing behind.
  const size_t mask_size = (t.columns.size() + 7) / 8;
  Bytes fixed(t.fixed_size, 0);
  Bytes null_mask(mask_size, 0);
  std::vector<Bytes> var(t.num_var);
  enum class Memo { kNone, kInline, kLval };
  std::vector<Memo> memo(t.num_var, Memo::kNone);
  for (size_t i = 0; i < t.columns.size(); ++i) {
    const ColumnDef& c = t.columns[i];
    const Value& v = row[i];
    if (std::holds_alternative<std::monostate>(v)) continue;
    null_mask[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    auto refuse = [&](const std::string& why) {
      throw std::invalid_argument("column \"" + c.name + "\" of " + t.name + ": " + why);
    };
    uint8_t* f = c.fixed ? &fixed[c.fixed_offset] : nullptr;
    switch (c.type) {
      case kJetInteger:
      case kJetLong: {
        const int64_t* n = std::get_if<int64_t>(&v);
        if (!n) refuse("an integer is required");
        const int64_t lo = c.type == kJetLong ? INT32_MIN : INT16_MIN;
        const int64_t hi = c.type == kJetLong ? INT32_MAX : INT16_MAX;
        if (*n < lo || *n > hi) refuse("integer out of range: " + std::to_string(*n));
        if (c.type == kJetLong) Put32(f, static_cast<uint32_t>(*n));
        else Put16(f, static_cast<uint32_t>(*n));
        break;
      }
      case kJetDouble: {
        if (const double* d = std::get_if<double>(&v)) PutDouble(f, *d);
        else if (const int64_t* n = std::get_if<int64_t>(&v)) PutDouble(f, static_cast<double>(*n));
        else refuse("a number is required");
        break;
      }
      case kJetDateTime: {
        const DateValue* d = std::get_if<DateValue>(&v);
        if (!d) refuse("a date is required");
        if (!std::isfinite(d->ole)) refuse("the date is not a finite number");
        PutDouble(f, d->ole);
        break;
      }
      case kJetText:
      case kJetMemo: {
        const std::string* s = std::get_if<std::string>(&v);
        if (!s) refuse("text is required");
        StoredText stored;
        try {
          stored = StoreText(*s, layout.jet3, c.type == kJetMemo);
        } catch (const std::invalid_argument& e) {
          refuse(e.what());
        }
        if (c.type == kJetText) {
          if (stored.chars > static_cast<size_t>(c.max_chars))
            refuse("text of " + std::to_string(stored.chars) + " characters is longer than " +
                   std::to_string(c.max_chars));
        } else {
          if (stored.bytes.size() > kMemoMaxBytes) refuse("memo too long");
          memo[c.var_index] =
              stored.bytes.size() > static_cast<size_t>(kMemoInlineMax) ? Memo::kLval : Memo::kInline;
        }
        var[c.var_index] = std::move(stored.bytes);
        break;
      }
      default:
        refuse("values of this column type are not written");
    }
  }

  size_t var_size = 0;
  for (size_t k = 0; k < var.size(); ++k) {
    if (memo[k] == Memo::kLval) var_size += kMemoHeader;
    else if (memo[k] == Memo::kInline) var_size += kMemoHeader + var[k].size();
    else var_size += var[k].size();
  }
  const RowShape shape = ShapeRow(layout, t.columns.size(), t.fixed_size, var_size, t.num_var);
  if (shape.size > static_cast<size_t>(layout.max_row))
    throw std::invalid_argument("row of " + std::to_string(shape.size) + " bytes is larger than " +
                                std::to_string(layout.max_row) + " in table " + t.name);
  // libmdb allows for one jump table entry past the data and compares the
  // others with the numbers of the variable columns, the end of data
  // included: with 255 of them, the end of data (255) matches a second such
  // entry (0xFF) and the last column, unless NULL, reads 256 bytes too long.
  if (layout.jet3 && t.num_var == 255 && shape.jumps > shape.eod / 256 + 1 &&
      !std::holds_alternative<std::monostate>(row.back()))
    throw std::invalid_argument("table " + t.name + ": libmdb misreads a Jet 3 row of 255 variable columns, "
                                "the last not NULL, with two jump table entries past its data");

  for (size_t k = 0; k < var.size(); ++k) {
    Bytes& v = var[k];
    if (memo[k] == Memo::kLval) {
      v = StoreLongValue(t, v);
    } else if (memo[k] == Memo::kInline) {
      Bytes inline_value(kMemoHeader + v.size(), 0);
      Put32(&inline_value[0], static_cast<uint32_t>(v.size()) | 0x80000000u);
      std::copy(v.begin(), v.end(), inline_value.begin() + kMemoHeader);
      v = std::move(inline_value);
    }
  }

  const Bytes out = PackRow(layout, shape, t.columns.size(), fixed, var, null_mask);
  if (t.data && !t.data->Fits(out.size())) {
    file.Write(t.data->number(), t.data->Seal());
    t.data.reset();
  }
  if (!t.data) {
    t.data.emplace(Allocate(), t.tdef_pages.front(), layout);
    t.data_pages.push_back(t.data->number());
  }
  t.data->Add(out);
  ++t.num_rows;
}

void Writer::Impl::End() {
  if (!current) throw std::logic_error("no table has been begun");
  TableState& t = *current;
  if (t.data) file.Write(t.data->number(), t.data->Seal());
  if (t.lval) file.Write(t.lval->number(), t.lval->Seal());
  t.data.reset();
  t.lval.reset();
  done.push_back(std::move(t));
  current.reset();
}

void Writer::Impl::WriteTdef(const TableState& t) {
  const Bytes& d = t.tdef;
  size_t from = 0;
  for (size_t p = 0; p < t.tdef_pages.size(); ++p) {
    const auto page_size = static_cast<size_t>(layout.page_size);
    Page page(page_size, 0);
    const size_t start = p == 0 ? 0 : kTdefContinuation;
    const size_t n = std::min(d.size() - from, page_size - start);
    std::memcpy(&page[start], &d[from], n);
    from += n;
    page[0] = 0x02;
    page[1] = 0x01;
    if (layout.jet3) {
      page[2] = 'V';
      page[3] = 'C';
    } else {
      const size_t free_bytes = page_size - start - n;
      Put16(&page[2], free_bytes >= 8 ? static_cast<uint32_t>(free_bytes - 8) : 0);
    }
    Put32(&page[4], p + 1 < t.tdef_pages.size() ? t.tdef_pages[p + 1] : 0);
    file.Write(t.tdef_pages[p], page);
  }
}

// Gives every table its owned-pages and free-pages maps on pages of maps,
// adding 0x05 map pages for tables whose data pages spread too far for an
// inline bitmap, and writes the definitions, which point at the maps.
void Writer::Impl::WriteUsageMaps() {
  const auto map_size = static_cast<size_t>(layout.usage_map_size);
  const uint32_t map_page_bits = layout.map_page_bits();
  RowPage maps(Allocate(), kNoOwner, layout);
  for (TableState& t : done) {
    Bytes owned(map_size, 0);
    const auto [lo, hi] = std::minmax_element(t.data_pages.begin(), t.data_pages.end());
    if (t.data_pages.empty()) {
      // type 0, starting at page 0, no bit set
    } else if (*hi - *lo < static_cast<uint32_t>(layout.type0_map_pages())) {
      Put32(&owned[1], *lo);
      for (uint32_t pg : t.data_pages) owned[5 + (pg - *lo) / 8] |= static_cast<uint8_t>(1u << ((pg - *lo) % 8));
    } else {
      owned[0] = 0x01;
      const uint32_t last_slot = *hi / map_page_bits;
      if (last_slot >= static_cast<uint32_t>(layout.type1_map_entries()))
        throw std::runtime_error("the database is too large for its page maps");
      std::vector<std::optional<Page>> slots(last_slot + 1);
      for (uint32_t pg : t.data_pages) {
        std::optional<Page>& s = slots[pg / map_page_bits];
        if (!s) {
          s.emplace(static_cast<size_t>(layout.page_size), 0);
          (*s)[0] = 0x05;
          (*s)[1] = 0x01;
        }
        const uint32_t bit = pg % map_page_bits;
        (*s)[4 + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
      }
      for (size_t j = 0; j < slots.size(); ++j) {
        if (!slots[j]) continue;
        const uint32_t page = Allocate();
        file.Write(page, *slots[j]);
        Put32(&owned[1 + 4 * j], page);
      }
    }
    Bytes free_map(map_size, 0);
    if (!t.data_pages.empty()) {
      Put32(&free_map[1], t.data_pages.back());
      free_map[5] = 0x01;
    }
    if (!maps.Fits(2 * map_size)) {
      file.Write(maps.number(), maps.Seal());
      maps = RowPage(Allocate(), kNoOwner, layout);
    }
    const auto at = static_cast<size_t>(layout.tdef_maps);
    Put32(&t.tdef[static_cast<size_t>(layout.tdef_num_rows)], t.num_rows);
    Put32(&t.tdef[at], maps.Add(owned));
    Put32(&t.tdef[at + 4], maps.Add(free_map));
    WriteTdef(t);
  }
  file.Write(maps.number(), maps.Seal());
}

std::optional<Format> ParseFormat(std::string_view name) {
  static constexpr std::pair<std::string_view, Format> kNames[] = {
      {"jet3", Format::kJet3},   {"jet4", Format::kJet4},   {"ace12", Format::kAce12},
      {"ace14", Format::kAce14}, {"ace15", Format::kAce15}, {"ace16", Format::kAce16},
      {"ace17", Format::kAce17},
  };
  for (const auto& [n, format] : kNames)
    if (text::EqualsIgnoreAsciiCase(n, name)) return format;
  return std::nullopt;
}

Writer::Writer(const std::string& path, Format format) : impl_(std::make_unique<Impl>(path, format)) {}
Writer::~Writer() = default;

void Writer::BeginTable(const std::string& name, const std::vector<Column>& columns) {
  std::vector<ColumnDef> defs;
  defs.reserve(columns.size());
  for (const Column& c : columns) {
    ColumnDef d;
    d.name = c.name;
    switch (c.type) {
      case ColumnType::kLong: d.type = kJetLong; break;
      case ColumnType::kInteger: d.type = kJetInteger; break;
      case ColumnType::kDouble: d.type = kJetDouble; break;
      case ColumnType::kDateTime: d.type = kJetDateTime; break;
      case ColumnType::kMemo: d.type = kJetMemo; break;
      case ColumnType::kText:
        if (c.text_chars < 1 || c.text_chars > 255)
          throw std::invalid_argument("text column \"" + c.name + "\" must be 1 to 255 characters wide");
        d.type = kJetText;
        d.max_chars = c.text_chars;
        break;
    }
    defs.push_back(std::move(d));
  }
  impl_->Begin(name, std::move(defs), false, std::nullopt);
}

void Writer::AddRow(const std::vector<Value>& row) { impl_->Add(row); }

void Writer::EndTable() { impl_->End(); }

void Writer::Finish() {
  Impl& w = *impl_;
  if (w.finished) throw std::logic_error("the file is finished");
  if (w.current) throw std::logic_error("the last table has not been ended");

  // `size`: characters of Text, bytes of Binary
  auto col = [](const char* name, JetType type, uint16_t size = 0) {
    ColumnDef c;
    c.name = name;
    c.type = type;
    if (type == kJetText) c.max_chars = size;
    else c.length = size;
    return c;
  };
  const std::vector<ColumnDef> catalog = {
      col("Connect", kJetMemo),        col("Database", kJetMemo),
      col("DateCreate", kJetDateTime), col("DateUpdate", kJetDateTime),
      col("Flags", kJetLong),          col("ForeignName", kJetText, 255),
      col("Id", kJetLong),             col("Lv", kJetOle),
      col("LvExtra", kJetOle),         col("LvModule", kJetOle),
      col("LvProp", kJetOle),          col("Name", kJetText, 255),
      col("Owner", kJetBinary, 255),   col("ParentId", kJetLong),
      col("RmtInfoLong", kJetOle),     col("RmtInfoShort", kJetBinary, 255),
      col("Type", kJetInteger),
  };
  std::vector<std::pair<std::string, uint32_t>> user_tables;
  for (const TableState& t : w.done) user_tables.emplace_back(t.name, t.tdef_pages.front());

  w.Begin("MSysObjects", catalog, true, 2);
  constexpr int64_t kTablesContainer = 0x0F000001;
  auto entry = [&](const std::string& name, int64_t type, int64_t id, int64_t parent, int64_t flags) {
    std::vector<Value> row(catalog.size());
    row[2] = DateValue{kCreated};
    row[3] = DateValue{kCreated};
    row[4] = flags;
    row[6] = id;
    row[11] = name;
    row[13] = parent;
    row[16] = type;
    w.Add(row);
  };
  entry("Tables", 3, kTablesContainer, 0x0F000000, 0);
  entry("Databases", 3, kTablesContainer + 1, 0x0F000000, 0);
  entry("Relationships", 3, kTablesContainer + 2, 0x0F000000, 0);
  entry("MSysObjects", 1, 2, kTablesContainer, INT32_MIN);  // 0x80000000: a system table
  for (const auto& [name, page] : user_tables) entry(name, 1, page, kTablesContainer, 0);
  w.End();

  w.WriteUsageMaps();
  RowPage global_map(1, kNoOwner, w.layout);  // no reader consults it; all bits stay 0
  global_map.Add(Bytes(static_cast<size_t>(w.layout.usage_map_size), 0));
  w.file.Write(1, global_map.Seal());
  w.file.Write(0, BuildHeader(w.layout, kCreated));
  w.file.Close();
  w.finished = true;
}

std::vector<Column> OrgColumns() {
  std::vector<Column> columns;
  for (const OrgColumn& org : kOrgColumns) {
    ColumnType type = ColumnType::kText;
    if (org.kind == OrgColumn::kLong) type = ColumnType::kLong;
    else if (org.kind == OrgColumn::kMemo) type = ColumnType::kMemo;
    else if (org.kind == OrgColumn::kDate) type = ColumnType::kDateTime;
    columns.push_back({std::string(org.name), type});
  }
  return columns;
}

}  // namespace tavrin::jet4
