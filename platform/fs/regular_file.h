#ifndef TAVRIN_PLATFORM_FS_REGULAR_FILE_H_
#define TAVRIN_PLATFORM_FS_REGULAR_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/fs/fd.h"

namespace tavrin::fs {

// What a file of type `mode` (the S_IFMT bits of st_mode) is, for messages:
// "a regular file", "a folder", "a FIFO", "a character device", "a block
// device", "a socket", "a symbolic link" or "a special file".
const char* FileTypeName(mode_t mode);

// Opens the regular file at `path` (links followed) for reading. Whatever
// else the path names is refused before it is opened, so that neither a
// FIFO without a writer nor a device can block the caller or notice the
// open; a file swapped in between is refused after it. Returns 0 and sets
// *fd, or an errno value: EINVAL for a file that is not a regular one, with
// *type set to its type (else *type is 0).
int OpenRegularFile(const std::string& path, UniqueFd* fd, mode_t* type);

// Whether the file at `path`, whose status is `st`, is read-only to this
// process: it has no write permission bit at all (marked read-only, which
// holds for root too, as a read-only attribute does), or none that the
// process's effective ids are granted.
bool ReadOnlyFile(const std::string& path, const struct stat& st);

}  // namespace tavrin::fs

#endif  // TAVRIN_PLATFORM_FS_REGULAR_FILE_H_
