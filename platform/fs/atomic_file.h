#ifndef TAVRIN_PLATFORM_FS_ATOMIC_FILE_H_
#define TAVRIN_PLATFORM_FS_ATOMIC_FILE_H_

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/fs/fd.h"
#include "platform/fs/file_system.h"

namespace tavrin::fs {

// A new version of a file, written to a temporary file in the same folder and
// put in place with one rename: readers of the target see the old file or the
// whole new one, never a mix, and a crash at any moment leaves the old one
// (or, after the rename, the new one) intact.
//
// The object owns the temporary file: destroying it without a successful
// Commit removes it, so no way out leaves it behind. Every call on the files
// goes through `files` (the Linux file system unless a test gives another),
// which must outlive the object. Not thread-safe.
class AtomicFile {
  struct Token {
    explicit Token() = default;
  };

 public:
  // Creates `temp` (exclusively: EEXIST when it exists already, and never
  // through a symbolic link) for the new version of `target`; both must be in
  // the same folder, and `target` must be the real file, links followed.
  // Mode 0666 lets the kernel apply the umask (and any default ACL) as for a
  // file created in place. When `previous` (the status of the file being
  // replaced) is given, the new file takes its permission bits and, where the
  // process may, its owner. Returns 0 and sets *out, or an errno value.
  static int Create(const std::string& target, const std::string& temp, const struct stat* previous,
                    std::unique_ptr<AtomicFile>* out, FileSystem& files = *FileSystem::Default());

  // Use Create.
  AtomicFile(Token, FileSystem& files, std::string target, std::string temp, UniqueFd fd);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends `data`. Returns 0 or an errno value.
  int Write(std::string_view data);

  // Flushes the new version to disk, renames it onto the target and makes
  // the rename durable by syncing the folder. Returns 0, or an errno value
  // after removing the temporary file, the target left as it was (EINVAL
  // when the target is now neither a regular file nor absent). A folder
  // that cannot be synced fails nothing: the new version is in place
  // already, and readers see it. Call once.
  int Commit();

  const std::string& target() const { return target_; }
  const std::string& temp() const { return temp_; }

 private:
  FileSystem& files_;
  const std::string target_;
  const std::string temp_;
  UniqueFd fd_;
  bool done_ = false;
};

}  // namespace tavrin::fs

#endif  // TAVRIN_PLATFORM_FS_ATOMIC_FILE_H_
