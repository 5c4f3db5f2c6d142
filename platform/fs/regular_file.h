#ifndef TAVRIN_PLATFORM_FS_REGULAR_FILE_H_
#define TAVRIN_PLATFORM_FS_REGULAR_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/fs/fd.h"
#include "platform/fs/file_system.h"

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
// *type set to its type (else *type is 0). The calls go through `files`.
int OpenRegularFile(const std::string& path, UniqueFd* fd, mode_t* type,
                    FileSystem& files = *FileSystem::Default());

// Whether a file whose status is `st` is marked read-only: its owner has no
// write permission, the mark a read-only attribute maps to. It holds for
// every process, root included, whoever else the bits let write.
bool ReadOnlyFile(const struct stat& st);

}  // namespace tavrin::fs

#endif  // TAVRIN_PLATFORM_FS_REGULAR_FILE_H_
