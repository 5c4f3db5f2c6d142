#include "platform/fs/file_stamp.h"

#include <sys/stat.h>

namespace tavrin::fs {
namespace {

FileStamp FromStat(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

}  // namespace

std::optional<FileStamp> StampOf(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return std::nullopt;
  return FromStat(st);
}

std::optional<FileStamp> StampOfPath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return FromStat(st);
}

}  // namespace tavrin::fs
