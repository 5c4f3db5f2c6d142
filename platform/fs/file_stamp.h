#ifndef TAVRIN_PLATFORM_FS_FILE_STAMP_H_
#define TAVRIN_PLATFORM_FS_FILE_STAMP_H_

// What tells one version of a file from another without reading it: the
// file's identity (device, inode), its size and its modification time, to
// the nanosecond the file system keeps.
//
// Every write through the kernel sets the modification time, also one that
// leaves the size as it was, so two equal stamps of the same open file
// mean that nothing was written between them, with two limits: a file
// system stamps from a clock that advances in ticks (a few milliseconds
// on Linux), so a write within the tick of the first stamp can leave the
// time as it was; and a network file system shows another machine's write
// only once the client's attribute cache has expired. The change time is
// left out: renaming or unlinking the file sets it too, and a file that is
// replaced by a rename keeps its old contents for those that hold it open.

#include <cstdint>
#include <optional>
#include <string>

namespace tavrin::fs {

struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modified_ns = 0;  // since the epoch
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the open file `fd`; nullopt when fstat fails.
std::optional<FileStamp> StampOf(int fd);
// The stamp of what `path` names now (links followed); nullopt when there
// is nothing there or stat fails.
std::optional<FileStamp> StampOfPath(const std::string& path);

}  // namespace tavrin::fs

#endif  // TAVRIN_PLATFORM_FS_FILE_STAMP_H_
