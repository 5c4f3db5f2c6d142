#include "platform/fs/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace tavrin::fs {

const char* FileTypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    case S_IFLNK: return "a symbolic link";
    default: return "a special file";
  }
}

int OpenRegularFile(const std::string& path, UniqueFd* fd, mode_t* type) {
  *type = 0;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) {
    *type = st.st_mode & S_IFMT;
    return EINVAL;
  }
  // O_NONBLOCK and O_NOCTTY matter only when the path changed since the
  // look above; on a regular file they change nothing.
  UniqueFd opened(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!opened.valid()) return errno;
  if (fstat(opened.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) {
    *type = st.st_mode & S_IFMT;
    return EINVAL;
  }
  *fd = std::move(opened);
  return 0;
}

bool ReadOnlyFile(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

}  // namespace tavrin::fs
