#ifndef TAVRIN_PLATFORM_FS_FILE_SYSTEM_H_
#define TAVRIN_PLATFORM_FS_FILE_SYSTEM_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/fs/fd.h"

namespace tavrin {

// The calls on files that the report layers make: looking at a path,
// opening, reading and writing, syncing, renaming and removing. One object
// serves the whole program; the Linux one is FileSystem::Default(), tests
// use FakeFileSystem, which can make any call fail with any errno value, so
// that a full disk, a folder that vanished or a permission refused is tested
// at each step without root and without a real full disk.
//
// Every function returns 0 or the errno value of its failure; a call that a
// signal interrupted (EINTR) is made again. Paths and descriptors are the kernel's; a descriptor
// that an Open function sets is owned by the caller's UniqueFd.
// All operations are thread-safe.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The status of what `path` names, links followed (stat).
  virtual int Stat(const std::string& path, struct stat* st) = 0;
  // The status of `path` itself, a link not followed (lstat).
  virtual int Lstat(const std::string& path, struct stat* st) = 0;
  // The status of the open file `fd` (fstat).
  virtual int Fstat(int fd, struct stat* st) = 0;
  // Whether the process may use `path` as `mode` (R_OK, W_OK, X_OK) asks,
  // with its real ids (access).
  virtual int Access(const std::string& path, int mode) = 0;

  // Opens `path` for reading without blocking on a FIFO and without taking
  // a terminal as the controlling one.
  virtual int OpenForReading(const std::string& path, fs::UniqueFd* fd) = 0;
  // Opens what exists at `path` for writing, non-blocking: a FIFO without a
  // reader fails at once with ENXIO.
  virtual int OpenForWriting(const std::string& path, fs::UniqueFd* fd) = 0;
  // Creates the file `path` for writing, with mode 0666 less the umask:
  // EEXIST when something is there already, a link included.
  virtual int CreateExclusive(const std::string& path, fs::UniqueFd* fd) = 0;

  // Reads at most `size` bytes into `buffer`; *count is 0 at the end.
  virtual int Read(int fd, char* buffer, size_t size, size_t* count) = 0;
  // Writes all of `data` (see WriteAll).
  virtual int Write(int fd, std::string_view data) = 0;
  // Writes all of `data` to a non-blocking `fd` unless `stop` ends the wait
  // for it to take more (see WriteAllUnlessStopped).
  virtual int WriteUnlessStopped(int fd, std::string_view data, const std::function<bool()>& stop) = 0;

  // Sets the permission bits of the open file `fd` (fchmod).
  virtual int SetMode(int fd, mode_t mode) = 0;
  // Gives the open file `fd` to `owner` and `group` (fchown).
  virtual int SetOwner(int fd, uid_t owner, gid_t group) = 0;
  // Flushes the open file `fd` to the disk (fsync).
  virtual int Sync(int fd) = 0;
  // Flushes the entries of `folder` to the disk, so that a rename in it
  // survives a crash.
  virtual int SyncFolder(const std::string& folder) = 0;

  // Renames `from` onto `to`, replacing what `to` names (rename).
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  // Removes the name `path` (unlink).
  virtual int Unlink(const std::string& path) = 0;

  // The Linux file system. Never null; lives for the whole process.
  static FileSystem* Default();
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_FS_FILE_SYSTEM_H_
