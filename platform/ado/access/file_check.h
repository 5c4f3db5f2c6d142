#ifndef TAVRIN_PLATFORM_ADO_ACCESS_FILE_CHECK_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_FILE_CHECK_H_

// The checks that keep junk and damaged files away from libmdb, which
// trusts every offset it reads.

#include <cstdint>
#include <string>

#include "platform/fs/fd.h"

namespace tavrin::ado::access {

// The little-endian 32-bit number at `p`.
inline uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// What the file check learnt of a file.
struct FileFacts {
  int64_t pages = 0;
  int page_size = 0;
  bool jet3 = false;
};

// Opens `path` read-only. Throws ProviderFailure: the permission text for
// EACCES and EPERM, "Could not find file" otherwise.
fs::UniqueFd OpenFile(const std::string& path);

// Checks what can be checked before libmdb reads the open file `fd`: a
// regular file that starts with a Jet or ACE signature of a known version,
// whole pages, and a table definition on page 2. Throws ProviderFailure.
FileFacts CheckFile(int fd, const std::string& path);

// Checks that the definition pages of the table `name` starting at
// `first_page`, and the usage maps they name, lie in the file and are of the
// right kinds before libmdb follows them. Throws ProviderFailure (Damaged).
void CheckTableDefinition(int fd, const FileFacts& f, uint32_t first_page, const std::string& name);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_FILE_CHECK_H_
