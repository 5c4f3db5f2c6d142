#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs/file_system.h"

namespace tavrin {
namespace {

// 0 when a call that returns -1 on failure succeeded, else its errno value.
int Result(int rc) { return rc == 0 ? 0 : errno; }

int OpenInto(const std::string& path, int flags, fs::UniqueFd* fd) {
  int opened;
  do {
    opened = ::open(path.c_str(), flags, 0666);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return errno;
  fd->Reset(opened);
  return 0;
}

class LinuxFileSystem : public FileSystem {
 public:
  int Stat(const std::string& path, struct stat* st) override { return Result(::stat(path.c_str(), st)); }
  int Lstat(const std::string& path, struct stat* st) override { return Result(::lstat(path.c_str(), st)); }
  int Fstat(int fd, struct stat* st) override { return Result(::fstat(fd, st)); }
  int Access(const std::string& path, int mode) override { return Result(::access(path.c_str(), mode)); }

  int OpenForReading(const std::string& path, fs::UniqueFd* fd) override {
    return OpenInto(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, fd);
  }
  int OpenForWriting(const std::string& path, fs::UniqueFd* fd) override {
    return OpenInto(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, fd);
  }
  int CreateExclusive(const std::string& path, fs::UniqueFd* fd) override {
    return OpenInto(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, fd);
  }

  int Read(int fd, char* buffer, size_t size, size_t* count) override {
    ssize_t n;
    do {
      n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    *count = static_cast<size_t>(n);
    return 0;
  }
  int Write(int fd, std::string_view data) override { return fs::WriteAll(fd, data); }
  int WriteUnlessStopped(int fd, std::string_view data, const std::function<bool()>& stop) override {
    return fs::WriteAllUnlessStopped(fd, data, stop);
  }

  int SetMode(int fd, mode_t mode) override { return Result(::fchmod(fd, mode)); }
  int SetOwner(int fd, uid_t owner, gid_t group) override { return Result(::fchown(fd, owner, group)); }
  int Sync(int fd) override { return Result(::fsync(fd)); }
  int SyncFolder(const std::string& folder) override {
    fs::UniqueFd fd;
    if (const int err = OpenInto(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, &fd); err != 0) return err;
    return Sync(fd.get());
  }

  int Rename(const std::string& from, const std::string& to) override {
    return Result(::rename(from.c_str(), to.c_str()));
  }
  int Unlink(const std::string& path) override { return Result(::unlink(path.c_str())); }
};

}  // namespace

FileSystem* FileSystem::Default() {
  static LinuxFileSystem file_system;
  return &file_system;
}

}  // namespace tavrin
