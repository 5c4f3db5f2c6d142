#include "platform/fs/regular_file.h"

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

int OpenRegularFile(const std::string& path, UniqueFd* fd, mode_t* type, FileSystem& files) {
  *type = 0;
  struct stat st;
  if (const int err = files.Stat(path, &st); err != 0) return err;
  if (!S_ISREG(st.st_mode)) {
    *type = st.st_mode & S_IFMT;
    return EINVAL;
  }
  // Not blocking and taking no terminal matter only when the path changed
  // since the look above; on a regular file they change nothing.
  UniqueFd opened;
  if (const int err = files.OpenForReading(path, &opened); err != 0) return err;
  if (const int err = files.Fstat(opened.get(), &st); err != 0) return err;
  if (!S_ISREG(st.st_mode)) {
    *type = st.st_mode & S_IFMT;
    return EINVAL;
  }
  *fd = std::move(opened);
  return 0;
}

bool ReadOnlyFile(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

}  // namespace tavrin::fs
