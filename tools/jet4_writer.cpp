#include "tools/jet4_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "data/org_info.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin::jet4 {
namespace {

constexpr int kPageSize = 4096;
constexpr int kPageHeader = 14;              // data/LVAL page header up to the offset table
constexpr int kMaxRowSize = 4080;            // one row alone on a page with its offset
constexpr int kMaxRowsPerPage = 255;         // the row number in a page/row pointer is one byte
constexpr int kMaxColumns = 255;             // readers take the column number as one byte
constexpr int kMaxNameChars = 64;
constexpr int kTdefHeader = 63;
constexpr int kColumnEntry = 25;
constexpr int kTdefContinuation = 8;         // header of every further TDEF page
constexpr int kMemoHeader = 12;
constexpr int kMemoInlineMax = 64;           // stored bytes kept in the row itself
constexpr int kLvalChunkData = kMaxRowSize - 4;  // chained LVAL row: next pointer + data
constexpr int kMemoCompressMaxChars = 1024;  // longer memos are stored uncompressed
constexpr uint32_t kMemoMaxBytes = 0xFFFFFF; // the memo length field has 24 bits
constexpr int kUsageMapSize = 64;
constexpr int kType0MapPages = (kUsageMapSize - 5) * 8;    // pages one inline bitmap covers
constexpr int kType1MapEntries = (kUsageMapSize - 1) / 4;  // map pages one reference map names
constexpr uint32_t kMapPageBits = (kPageSize - 4) * 8;     // pages one 0x05 map page covers
constexpr uint32_t kTdefConstant = 1625;
constexpr uint16_t kSortGeneral = 0x0409;

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
using Page = std::array<uint8_t, kPageSize>;

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
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const text::Utf8Char c = text::DecodeUtf8(s, i);
    if (!c.valid) throw std::invalid_argument("invalid UTF-8 text");
    if (c.code_point >= 0x10000) {
      const char32_t v = c.code_point - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c.code_point));
    }
    i += c.length;
  }
  return out;
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

// A file descriptor written page by page at absolute positions.
class PageFile {
 public:
  explicit PageFile(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  }
  ~PageFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;

  void Write(uint32_t page, const uint8_t* bytes) {
    const off_t at = static_cast<off_t>(page) * kPageSize;
    size_t done = 0;
    while (done < kPageSize) {
      const ssize_t n = ::pwrite(fd_, bytes + done, kPageSize - done, at + static_cast<off_t>(done));
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
};

// A data or LVAL page being filled: rows are packed from the end downwards
// and indexed by the offset table after the header.
class RowPage {
 public:
  // `owner` is the TDEF page of the table, or kLvalOwner for long values.
  RowPage(uint32_t number, uint32_t owner) : number_(number) {
    bytes_[0] = 0x01;
    bytes_[1] = 0x01;
    Put32(&bytes_[4], owner);
  }

  uint32_t number() const { return number_; }
  int rows() const { return rows_; }

  bool Fits(size_t size) const {
    return rows_ < kMaxRowsPerPage &&
           low_ - static_cast<int>(size) >= kPageHeader + 2 * (rows_ + 1);
  }

  // Adds a row (which must fit) and returns its pointer.
  uint32_t Add(const Bytes& row) {
    low_ -= static_cast<int>(row.size());
    std::memcpy(&bytes_[low_], row.data(), row.size());
    Put16(&bytes_[kPageHeader + 2 * rows_], static_cast<uint32_t>(low_));
    return PageRow(number_, rows_++);
  }

  const uint8_t* Seal() {
    Put16(&bytes_[2], static_cast<uint32_t>(low_ - kPageHeader - 2 * rows_));
    Put16(&bytes_[12], static_cast<uint32_t>(rows_));
    return bytes_.data();
  }

 private:
  uint32_t number_;
  Page bytes_{};
  int rows_ = 0;
  int low_ = kPageSize;
};

constexpr uint32_t kNoOwner = 0;
constexpr uint32_t kLvalOwner = 'L' | 'V' << 8 | 'A' << 16 | 'L' << 24;  // "LVAL" on disk

struct ColumnDef {
  std::string name;
  JetType type = kJetText;
  int max_chars = 0;      // Text
  uint16_t length = 0;    // bytes in the TDEF (fixed size, 2 * chars for Text, 0 for long values)
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

void CheckName(const std::string& name, const char* what) {
  const std::u16string u = Utf8ToUtf16(name);
  if (u.empty() || u.size() > kMaxNameChars)
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

Bytes BuildTdef(const TableState& t) {
  Bytes d(kTdefHeader + kColumnEntry * t.columns.size(), 0);
  d[0] = 0x02;
  d[1] = 0x01;
  Put32(&d[12], kTdefConstant);
  d[24] = 1;
  d[40] = t.system ? 'S' : 'N';
  const auto ncols = static_cast<uint32_t>(t.columns.size());
  Put16(&d[41], ncols);
  Put16(&d[43], t.num_var);
  Put16(&d[45], ncols);
  for (size_t i = 0; i < t.columns.size(); ++i) {
    const ColumnDef& c = t.columns[i];
    uint8_t* e = &d[kTdefHeader + kColumnEntry * i];
    e[0] = c.type;
    Put32(e + 1, kTdefConstant);
    Put16(e + 5, static_cast<uint32_t>(i));
    Put16(e + 7, c.fixed ? 0 : c.var_index);
    Put16(e + 9, static_cast<uint32_t>(i));
    if (IsTextual(c.type)) Put16(e + 11, kSortGeneral);
    e[15] = c.fixed ? 0x03 : 0x02;
    e[16] = IsTextual(c.type) ? 0x01 : 0x00;
    Put16(e + 21, c.fixed_offset);
    Put16(e + 23, c.length);
  }
  for (const ColumnDef& c : t.columns) {
    const Bytes name = Ucs2(Utf8ToUtf16(c.name));
    const size_t at = d.size();
    d.resize(at + 2 + name.size());
    Put16(&d[at], static_cast<uint32_t>(name.size()));
    std::memcpy(&d[at + 2], name.data(), name.size());
  }
  d.push_back(0xFF);
  d.push_back(0xFF);
  Put32(&d[8], static_cast<uint32_t>(d.size()));
  return d;
}

size_t TdefPageCount(size_t tdef_size) {
  if (tdef_size <= kPageSize) return 1;
  const size_t per_page = kPageSize - kTdefContinuation;
  return 1 + (tdef_size - kPageSize + per_page - 1) / per_page;
}

// The 128 header bytes from 0x18 are RC4-enciphered with a fixed key.
void Rc4(uint8_t* data, size_t n) {
  const uint8_t key[4] = {0xC7, 0xDA, 0x39, 0x6B};
  std::array<uint8_t, 256> s;
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % 4]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  for (size_t k = 0, i = 0, j = 0; k < n; ++k) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    data[k] ^= s[(s[i] + s[j]) & 0xFF];
  }
}

Page BuildHeader(double created) {
  Page p{};
  p[1] = 0x01;
  std::memcpy(&p[4], "Standard Jet DB", 16);
  Put32(&p[0x14], 1);  // Jet 4
  Put16(&p[0x3C], 1252);
  Put32(&p[0x3E], 0);  // no database key: pages are stored in clear
  // The empty password is stored as the mask derived from the creation date.
  const auto mask = static_cast<uint32_t>(static_cast<int32_t>(std::floor(created)));
  for (int i = 0; i < 40; i += 4) Put32(&p[0x42 + i], mask);
  Put16(&p[0x6E], kSortGeneral);
  PutDouble(&p[0x72], created);
  Rc4(&p[0x18], 128);
  return p;
}

// 2024-01-01: a fixed creation date keeps equal input producing equal files.
constexpr double kCreated = 45292.0;

}  // namespace

struct Writer::Impl {
  explicit Impl(const std::string& path) : file(path) {}

  PageFile file;
  uint32_t next_page = 3;  // 0 header, 1 global map, 2 MSysObjects definition
  std::vector<TableState> done;
  std::optional<TableState> current;
  bool finished = false;

  // Page numbers stop where the reference maps end (about 2 GB).
  uint32_t Allocate() {
    if (next_page >= kMapPageBits * kType1MapEntries)
      throw std::runtime_error("the database would grow beyond 2 GB");
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
  CheckName(name, "table");
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
    CheckName(c.name, "column");
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
    }
  }
  t.columns = std::move(columns);
  t.tdef = BuildTdef(t);
  const size_t pages = TdefPageCount(t.tdef.size());
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
  if (!t.lval) t.lval.emplace(Allocate(), kLvalOwner);
  return t.lval->Add(row);
}

// Stores a long value outside the row and returns its 12-byte column header.
Bytes Writer::Impl::StoreLongValue(TableState& t, const Bytes& data) {
  Bytes header(kMemoHeader, 0);
  const auto size = static_cast<uint32_t>(data.size());
  if (data.size() <= static_cast<size_t>(kMaxRowSize)) {
    Put32(&header[0], size | 0x40000000u);
    Put32(&header[4], AddLvalRow(t, data));
    return header;
  }
  // A chain: each row holds the pointer to the next and up to 4076 bytes.
  // Rows are placed last first so that each knows its successor.
  const size_t chunks = (data.size() + kLvalChunkData - 1) / kLvalChunkData;
  uint32_t next = 0;
  for (size_t k = chunks; k-- > 0;) {
    const size_t from = k * kLvalChunkData;
    const size_t n = std::min<size_t>(kLvalChunkData, data.size() - from);
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
        std::u16string u;
        try {
          u = Utf8ToUtf16(*s);
        } catch (const std::invalid_argument& e) {
          refuse(e.what());
        }
        if (c.type == kJetText) {
          if (u.size() > static_cast<size_t>(c.max_chars))
            refuse("text of " + std::to_string(u.size()) + " characters is longer than " +
                   std::to_string(c.max_chars));
          var[c.var_index] = EncodeText(u, true);
        } else {
          Bytes stored = EncodeText(u, u.size() <= kMemoCompressMaxChars);
          if (stored.size() > kMemoMaxBytes) refuse("memo too long");
          memo[c.var_index] =
              stored.size() > static_cast<size_t>(kMemoInlineMax) ? Memo::kLval : Memo::kInline;
          var[c.var_index] = std::move(stored);
        }
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
  const size_t table_size = t.num_var ? 2u * t.num_var + 4 : 0;
  const size_t row_size = 2 + t.fixed_size + var_size + table_size + mask_size;
  if (row_size > static_cast<size_t>(kMaxRowSize))
    throw std::invalid_argument("row of " + std::to_string(row_size) + " bytes is larger than " +
                                std::to_string(kMaxRowSize) + " in table " + t.name);

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

  Bytes out(row_size, 0);
  Put16(&out[0], static_cast<uint32_t>(t.columns.size()));
  std::copy(fixed.begin(), fixed.end(), out.begin() + 2);
  size_t at = 2 + fixed.size();
  if (t.num_var) {
    // Offsets are stored after the data, last column first, the end offset before them.
    uint8_t* table_end = &out[row_size - mask_size - 2];
    Put16(table_end, t.num_var);
    for (size_t k = 0; k < var.size(); ++k) {
      Put16(table_end - 2 * (k + 1), static_cast<uint32_t>(at));
      std::copy(var[k].begin(), var[k].end(), out.begin() + static_cast<std::ptrdiff_t>(at));
      at += var[k].size();
    }
    Put16(table_end - 2 * (var.size() + 1), static_cast<uint32_t>(at));
  }
  std::memcpy(&out[row_size - mask_size], null_mask.data(), mask_size);

  if (t.data && !t.data->Fits(out.size())) {
    file.Write(t.data->number(), t.data->Seal());
    t.data.reset();
  }
  if (!t.data) {
    t.data.emplace(Allocate(), t.tdef_pages.front());
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
    Page page{};
    const size_t start = p == 0 ? 0 : kTdefContinuation;
    const size_t n = std::min(d.size() - from, kPageSize - start);
    std::memcpy(&page[start], &d[from], n);
    from += n;
    page[0] = 0x02;
    page[1] = 0x01;
    const size_t free_bytes = kPageSize - start - n;
    Put16(&page[2], free_bytes >= 8 ? static_cast<uint32_t>(free_bytes - 8) : 0);
    Put32(&page[4], p + 1 < t.tdef_pages.size() ? t.tdef_pages[p + 1] : 0);
    file.Write(t.tdef_pages[p], page.data());
  }
}

// Gives every table its owned-pages and free-pages maps on one shared page,
// adding 0x05 map pages for tables whose data pages spread too far for an
// inline bitmap, and writes the definitions, which point at the maps.
void Writer::Impl::WriteUsageMaps() {
  RowPage maps(Allocate(), kNoOwner);
  for (TableState& t : done) {
    Bytes owned(kUsageMapSize, 0);
    const auto [lo, hi] = std::minmax_element(t.data_pages.begin(), t.data_pages.end());
    if (t.data_pages.empty()) {
      // type 0, starting at page 0, no bit set
    } else if (*hi - *lo < static_cast<uint32_t>(kType0MapPages)) {
      Put32(&owned[1], *lo);
      for (uint32_t pg : t.data_pages) owned[5 + (pg - *lo) / 8] |= static_cast<uint8_t>(1u << ((pg - *lo) % 8));
    } else {
      owned[0] = 0x01;
      const uint32_t last_slot = *hi / kMapPageBits;
      if (last_slot >= static_cast<uint32_t>(kType1MapEntries))
        throw std::runtime_error("the database is too large for its page maps");
      std::vector<std::optional<Page>> slots(last_slot + 1);
      for (uint32_t pg : t.data_pages) {
        std::optional<Page>& s = slots[pg / kMapPageBits];
        if (!s) {
          s.emplace();
          (*s)[0] = 0x05;
          (*s)[1] = 0x01;
        }
        const uint32_t bit = pg % kMapPageBits;
        (*s)[4 + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
      }
      for (size_t j = 0; j < slots.size(); ++j) {
        if (!slots[j]) continue;
        const uint32_t page = Allocate();
        file.Write(page, slots[j]->data());
        Put32(&owned[1 + 4 * j], page);
      }
    }
    Bytes free_map(kUsageMapSize, 0);
    if (!t.data_pages.empty()) {
      Put32(&free_map[1], t.data_pages.back());
      free_map[5] = 0x01;
    }
    if (!maps.Fits(2 * kUsageMapSize)) throw std::runtime_error("too many tables");
    Put32(&t.tdef[16], t.num_rows);
    Put32(&t.tdef[55], maps.Add(owned));
    Put32(&t.tdef[59], maps.Add(free_map));
    WriteTdef(t);
  }
  file.Write(maps.number(), maps.Seal());
}

Writer::Writer(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}
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
        d.length = static_cast<uint16_t>(2 * c.text_chars);
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

  auto col = [](const char* name, JetType type, uint16_t length = 0, int chars = 0) {
    ColumnDef c;
    c.name = name;
    c.type = type;
    c.length = length;
    c.max_chars = chars;
    return c;
  };
  const std::vector<ColumnDef> catalog = {
      col("Connect", kJetMemo),        col("Database", kJetMemo),
      col("DateCreate", kJetDateTime), col("DateUpdate", kJetDateTime),
      col("Flags", kJetLong),          col("ForeignName", kJetText, 510, 255),
      col("Id", kJetLong),             col("Lv", kJetOle),
      col("LvExtra", kJetOle),         col("LvModule", kJetOle),
      col("LvProp", kJetOle),          col("Name", kJetText, 510, 255),
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
  RowPage global_map(1, kNoOwner);  // no reader consults it; all bits stay 0
  global_map.Add(Bytes(kUsageMapSize, 0));
  w.file.Write(1, global_map.Seal());
  const Page header = BuildHeader(kCreated);
  w.file.Write(0, header.data());
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
