#include "platform/ado/access/file_check.h"

#include <fcntl.h>
#include <mdbtools.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/ado/access/failure.h"

namespace tavrin::ado::access {

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

fs::UniqueFd OpenFile(const std::string& path) {
  fs::UniqueFd fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() >= 0) return fd;
  if (errno == EACCES || errno == EPERM)
    throw ProviderFailure{kEFail,
                          "The Microsoft Jet database engine cannot open the file '" + path +
                              "'.  It is already opened exclusively by another user, or you need "
                              "permission to view its data.",
                          {}};
  throw ProviderFailure{kEFail, NotFoundText(path), {}};
}

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

}  // namespace tavrin::ado::access
