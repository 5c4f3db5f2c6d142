#ifndef TAVRIN_PLATFORM_FS_FAKE_FILE_SYSTEM_H_
#define TAVRIN_PLATFORM_FS_FAKE_FILE_SYSTEM_H_

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs/file_system.h"

namespace tavrin {

// Test double: the real file system (tests give it paths in a scratch
// folder), except for the calls that the test told to fail. A failed call
// does nothing and returns its errno value, so a full disk (ENOSPC), a
// folder that vanished (ENOENT) or a permission refused (EACCES) can be met
// at any step, by any process, root included. Every call is counted.
// Thread-safe.
class FakeFileSystem : public FileSystem {
 public:
  enum class Op {
    kStat, kLstat, kFstat, kAccess,
    kOpenForReading, kOpenForWriting, kCreateExclusive,
    kRead, kWrite, kWriteUnlessStopped,
    kSetMode, kSetOwner, kSync, kSyncFolder,
    kRename, kUnlink,
  };

  // The name of `op` as the interface spells it ("CreateExclusive"), for
  // the names of parameterised tests.
  static const char* Name(Op op);

  // Makes calls of `op` fail with `err`: the `nth` such call from now on
  // (1: the next) and every later one, as a disk stays full. With
  // `path_part`, only calls whose path contains it count: for a call on a
  // descriptor, the path it was opened with through this object; for
  // Rename, either path.
  void Fail(Op op, int err, std::string path_part = "", int nth = 1);

  // How many calls of `op` were made, failed ones included.
  int Calls(Op op) const;

  int Stat(const std::string& path, struct stat* st) override;
  int Lstat(const std::string& path, struct stat* st) override;
  int Fstat(int fd, struct stat* st) override;
  int Access(const std::string& path, int mode) override;
  int OpenForReading(const std::string& path, fs::UniqueFd* fd) override;
  int OpenForWriting(const std::string& path, fs::UniqueFd* fd) override;
  int CreateExclusive(const std::string& path, fs::UniqueFd* fd) override;
  int Read(int fd, char* buffer, size_t size, size_t* count) override;
  int Write(int fd, std::string_view data) override;
  int WriteUnlessStopped(int fd, std::string_view data, const std::function<bool()>& stop) override;
  int SetMode(int fd, mode_t mode) override;
  int SetOwner(int fd, uid_t owner, gid_t group) override;
  int Sync(int fd) override;
  int SyncFolder(const std::string& folder) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;

 private:
  struct Rule {
    Op op;
    int err;
    std::string path_part;
    int skip;  // matching calls still to pass before the rule fails them
  };

  // Counts the call and returns the errno value it fails with, or 0.
  int Failure(Op op, const std::string& path, const std::string& other = "");
  int FailureOn(Op op, int fd);
  // Remembers the path of a descriptor that an open through this object set.
  int Opened(int err, const std::string& path, const fs::UniqueFd& fd);

  FileSystem& real_ = *FileSystem::Default();
  mutable std::mutex mu_;
  std::vector<Rule> rules_;
  std::map<Op, int> calls_;
  std::map<int, std::string> paths_;  // by descriptor
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_FS_FAKE_FILE_SYSTEM_H_
