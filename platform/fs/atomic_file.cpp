#include "platform/fs/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs/paths.h"

namespace tavrin::fs {

int AtomicFile::Create(const std::string& target, const std::string& temp,
                       const struct stat* previous, std::unique_ptr<AtomicFile>* out) {
  UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd.valid()) return errno;
  if (previous) {
    int err = fchmod(fd.get(), previous->st_mode & 07777) == 0 ? 0 : errno;
    // Only a privileged process can give the file to another user; anyone
    // else keeps the file as theirs, which still leaves it readable to them.
    if (!err && (previous->st_uid != geteuid() || previous->st_gid != getegid()))
      (void)!fchown(fd.get(), previous->st_uid, previous->st_gid);
    if (err) {
      unlink(temp.c_str());
      return err;
    }
  }
  *out = std::make_unique<AtomicFile>(Token(), target, temp, std::move(fd));
  return 0;
}

AtomicFile::AtomicFile(Token, std::string target, std::string temp, UniqueFd fd)
    : target_(std::move(target)), temp_(std::move(temp)), fd_(std::move(fd)) {}

AtomicFile::~AtomicFile() {
  if (!done_) {
    fd_.Reset();
    unlink(temp_.c_str());
  }
}

int AtomicFile::Write(std::string_view data) { return WriteAll(fd_.get(), data); }

int AtomicFile::Commit() {
  done_ = true;
  // Synced before the rename, so a crash never leaves an empty or short file
  // in place of the previous one.
  int err = fsync(fd_.get()) == 0 ? 0 : errno;
  const int close_err = fd_.Close();
  if (!err) err = close_err;
  // Whatever else than a regular file was put at the target meanwhile (a
  // FIFO, a device) is not ours to replace.
  struct stat st;
  if (!err && lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) err = EINVAL;
  if (!err && rename(temp_.c_str(), target_.c_str()) != 0) err = errno;
  if (err) {
    unlink(temp_.c_str());
    return err;
  }
  UniqueFd folder(open(DirName(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) fsync(folder.get());
  return 0;
}

}  // namespace tavrin::fs
