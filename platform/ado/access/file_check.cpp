#include "platform/ado/access/file_check.h"

#include <fcntl.h>
#include <mdbtools.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/ado/access/access_header.h"
#include "platform/ado/access/failure.h"
#include "platform/fs/regular_file.h"

namespace tavrin::ado::access {
namespace {

ProviderFailure NotAccess(const std::string& path, const std::string& what) {
  return {kEFail, BadFormatText(path) + " " + what, {}};
}

// Checks the usage map that the page/row pointer `map` names: a row of a
// data page, of type 0 (a start page and a bitmap) or 1 (a list of bitmap
// pages), whose pages all lie in the file.
void CheckUsageMap(const unsigned char* image, const FileFacts& f, uint32_t map, const std::string& name) {
  const int64_t number = map >> 8;
  const unsigned row = map & 0xFF;
  const auto damaged = [&name] { return Damaged(name, "its page map is missing or invalid."); };
  if (number <= 0 || number >= f.pages) throw damaged();
  const unsigned char* page = image + number * f.page_size;
  const size_t count_at = f.jet3() ? 8 : 12;
  if (page[0] != MDB_PAGE_DATA) throw damaged();
  const unsigned rows = Le16(page + count_at);
  const size_t table_end = count_at + 2 + 2 * static_cast<size_t>(rows);
  if (row >= rows || table_end > static_cast<size_t>(f.page_size)) throw damaged();
  const size_t start = Le16(page + count_at + 2 + 2 * row) & 0x1FFF;
  const size_t end = row == 0 ? static_cast<size_t>(f.page_size) : Le16(page + count_at + 2 * row) & 0x1FFF;
  if (start < table_end || end <= start || end > static_cast<size_t>(f.page_size)) throw damaged();
  const unsigned char* m = page + start;
  const size_t length = end - start;
  if (m[0] == 0) {
    if (length < 5) throw damaged();
    return;
  }
  if (m[0] != 1) throw damaged();
  for (size_t at = 1; at + 4 <= length; at += 4) {
    const uint32_t bitmap_page = Le32(m + at);
    if (bitmap_page != 0 && bitmap_page >= f.pages) throw damaged();
  }
}

// A database key in the header means that every other page is enciphered.
// Access 97 to 2003 ("Encode Database") use RC4 with that key, which libmdb
// undoes for itself but the reader's own reads of the mapped file do not;
// Access 2007 and later encipher the pages of a database with a password in
// a way libmdb cannot read at all. A password alone (Access 2000 and 2003
// files) leaves the pages in clear, and such a file is read as any other.
void CheckNotEncoded(int fd, const std::string& path, AccessVersion version) {
  unsigned char masked[128] = {};
  const size_t n = MaskedLength(version);
  if (pread(fd, masked, n, kMaskedOffset) != static_cast<ssize_t>(n))
    throw NotAccess(path, "The file is a damaged Access database: its header cannot be read.");
  ApplyHeaderMask(masked, n);
  if (Le32(masked + (kDatabaseKeyOffset - kMaskedOffset)) == 0) return;
  if (version >= AccessVersion::kAce12)
    throw ProviderFailure{kEFail,
                          "The file '" + path + "' is encrypted with a database password, which this program "
                          "cannot read: remove the password in Access (File, Info, Decrypt Database) or point "
                          "DataPath at an unencrypted copy.",
                          {}};
  throw ProviderFailure{kEFail,
                        "The file '" + path + "' is an encoded Access database, which this program cannot read: "
                        "decode it in Access (Tools, Security, Encode/Decode Database) or point DataPath at a "
                        "decoded copy.",
                        {}};
}

ProviderFailure NotAFile(const std::string& path, mode_t mode) {
  return {kEFail, "'" + path + "' is " + fs::FileTypeName(mode) + ", not an Access database file.", {}};
}

}  // namespace

FileFacts CheckFile(int fd, const std::string& path) {
  struct stat st {};
  if (fstat(fd, &st) != 0) throw ProviderFailure{kEFail, NotFoundText(path), {}};
  if (!S_ISREG(st.st_mode)) throw NotAFile(path, st.st_mode);
  if (st.st_size == 0) throw NotAccess(path, "The file is empty.");
  unsigned char header[kMaskedOffset];
  const std::string size_text = std::to_string(st.st_size) + " bytes";
  if (st.st_size < static_cast<off_t>(sizeof header) ||
      pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
    throw NotAccess(path, "The file (" + size_text + ") is too short to be an Access database.");
  const bool signature = std::memcmp(header, "\x00\x01\x00\x00", 4) == 0 &&
                         (std::memcmp(header + 4, "Standard Jet DB", 16) == 0 ||
                          std::memcmp(header + 4, "Standard ACE DB", 16) == 0);
  if (!signature)
    throw NotAccess(path, "The file (" + size_text + ") does not start as an Access database does.");
  const std::optional<AccessVersion> version = VersionFromByte(header[kVersionOffset]);
  if (!version)
    throw NotAccess(path, "The file is an Access database of a version this program does not know (" +
                              std::to_string(header[kVersionOffset]) + ").");
  FileFacts f;
  f.version = *version;
  f.page_size = PageSize(f.version);
  f.size = st.st_size;
  f.pages = st.st_size / f.page_size;
  // A partial last page means a truncated copy; page 2 holds the catalog's
  // table definition.
  if (st.st_size % f.page_size != 0 || f.pages < 3)
    throw NotAccess(path, "The file is an Access database cut short: " + size_text + ", not a whole number of " +
                              std::to_string(f.page_size) + "-byte pages.");
  CheckNotEncoded(fd, path, f.version);
  unsigned char type = 0;
  if (pread(fd, &type, 1, 2 * static_cast<off_t>(f.page_size)) != 1 || type != MDB_PAGE_TABLE)
    throw NotAccess(path, "The file is a damaged Access database: its list of tables is missing.");
  return f;
}

fs::UniqueFd OpenFile(const std::string& path) {
  // Only a regular file is opened at all: opening a device may do something
  // (rewind a tape, say).
  struct stat st {};
  if (!path.empty() && stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) throw NotAFile(path, st.st_mode);
  fs::UniqueFd fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() >= 0) return fd;
  if (errno == EACCES || errno == EPERM)
    throw ProviderFailure{kEFail,
                          "The Microsoft Jet database engine cannot open the file '" + path +
                              "'.  It is already opened exclusively by another user, or you need "
                              "permission to view its data.",
                          {}};
  throw ProviderFailure{kEFail, NotFoundText(path), {}};
}

void CheckTableDefinition(const unsigned char* image, const FileFacts& f, uint32_t first_page,
                          const std::string& name) {
  auto page = [&](int64_t number) -> const unsigned char* {
    return number > 0 && number < f.pages ? image + number * f.page_size : nullptr;
  };
  const unsigned char* def = page(first_page);
  if (!def || def[0] != MDB_PAGE_TABLE)
    throw Damaged(name, "its definition page " + std::to_string(first_page) + " is missing or invalid.");
  const size_t map_offset = f.jet3() ? 35 : 55;
  const uint32_t maps[2] = {Le32(def + map_offset), Le32(def + map_offset + 4)};
  uint32_t next = Le32(def + 4);
  for (int64_t hops = 0; next != 0; ++hops) {
    const unsigned char* more = page(next);
    if (hops >= f.pages || !more || more[0] != MDB_PAGE_TABLE)
      throw Damaged(name, "its definition continues on a page that is missing or invalid.");
    next = Le32(more + 4);
  }
  for (uint32_t map : maps) CheckUsageMap(image, f, map, name);
}

}  // namespace tavrin::ado::access
