#include "platform/fs/atomic_file.h"

#include <unistd.h>

#include <cerrno>

#include "platform/fs/paths.h"

namespace tavrin::fs {

int AtomicFile::Create(const std::string& target, const std::string& temp,
                       const struct stat* previous, std::unique_ptr<AtomicFile>* out, FileSystem& files) {
  UniqueFd fd;
  if (const int err = files.CreateExclusive(temp, &fd); err != 0) return err;
  if (previous) {
    const int err = files.SetMode(fd.get(), previous->st_mode & 07777);
    // Only a privileged process can give the file to another user; anyone
    // else keeps the file as theirs, which still leaves it readable to them.
    if (!err && (previous->st_uid != geteuid() || previous->st_gid != getegid()))
      files.SetOwner(fd.get(), previous->st_uid, previous->st_gid);
    if (err) {
      files.Unlink(temp);
      return err;
    }
  }
  *out = std::make_unique<AtomicFile>(Token(), files, target, temp, std::move(fd));
  return 0;
}

AtomicFile::AtomicFile(Token, FileSystem& files, std::string target, std::string temp, UniqueFd fd)
    : files_(files), target_(std::move(target)), temp_(std::move(temp)), fd_(std::move(fd)) {}

AtomicFile::~AtomicFile() {
  if (!done_) {
    fd_.Reset();
    files_.Unlink(temp_);
  }
}

int AtomicFile::Write(std::string_view data) { return files_.Write(fd_.get(), data); }

int AtomicFile::Commit() {
  done_ = true;
  // Synced before the rename, so a crash never leaves an empty or short file
  // in place of the previous one.
  int err = files_.Sync(fd_.get());
  const int close_err = fd_.Close();
  if (!err) err = close_err;
  // Whatever else than a regular file was put at the target meanwhile (a
  // FIFO, a device) is not ours to replace.
  struct stat st;
  if (!err && files_.Lstat(target_, &st) == 0 && !S_ISREG(st.st_mode)) err = EINVAL;
  if (!err) err = files_.Rename(temp_, target_);
  if (err) {
    files_.Unlink(temp_);
    return err;
  }
  files_.SyncFolder(DirName(target_));
  return 0;
}

}  // namespace tavrin::fs
