#ifndef TAVRIN_PLATFORM_ADO_ACCESS_FILE_CHECK_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_FILE_CHECK_H_

// The checks that keep junk and damaged files away from libmdb, which
// trusts every offset it reads.

#include <cstdint>
#include <string>

#include "platform/ado/access/access_header.h"
#include "platform/fs/fd.h"

namespace tavrin::ado::access {

// The little-endian 16- and 32-bit numbers at `p`.
inline uint32_t Le16(const unsigned char* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<uint32_t>(p[3]) << 24);
}

// What the file check learnt of a file.
struct FileFacts {
  int64_t size = 0;  // bytes: pages * page_size
  int64_t pages = 0;
  int page_size = 0;
  AccessVersion version = AccessVersion::kJet4;
  // 2 KB pages and single-byte text
  bool jet3() const { return version == AccessVersion::kJet3; }
};

// Opens `path` read-only and without blocking, so that a FIFO without a
// writer cannot hang the open. Throws ProviderFailure: the permission text
// for EACCES and EPERM, "Could not find file" when nothing is there, and
// what the path is when it is not a regular file.
fs::UniqueFd OpenFile(const std::string& path);

// Checks what can be checked before libmdb reads the open file `fd`: a
// regular file that starts with a Jet or ACE signature of a version libmdb
// reads (Access 97 to 2019), whole pages, pages in clear (no database key:
// neither an encoded Access 97-2003 file nor an Access 2007-or-later file
// encrypted with a password), and a table definition on page 2. Throws
// ProviderFailure saying what the file is, and what to do where the user
// can do something, when it cannot be read.
FileFacts CheckFile(int fd, const std::string& path);

// Checks that the definition pages of the table `name` starting at
// `first_page`, and the usage maps they name, lie in the file and are of the
// right kinds before libmdb follows them. `image` holds the whole file that
// CheckFile described as `f`. Throws ProviderFailure (Damaged).
void CheckTableDefinition(const unsigned char* image, const FileFacts& f, uint32_t first_page,
                          const std::string& name);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_FILE_CHECK_H_
