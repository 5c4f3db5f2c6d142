#ifndef TAVRIN_PLATFORM_FS_PUBLISHED_FILE_H_
#define TAVRIN_PLATFORM_FS_PUBLISHED_FILE_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/fs/atomic_file.h"
#include "platform/fs/fd.h"
#include "platform/fs/file_system.h"

namespace tavrin {

// An output text file that readers only ever see whole.
//
// When the output path is a regular file, or nothing yet, the text goes to a
// temporary file in the output's folder (its name carries this process's
// id) and is renamed onto the path when the writer publishes it, so a
// reader of the path sees either the file that was there before or the
// finished one, and two writers of the same path never mix their lines (the
// last to publish wins). An existing output file keeps its permission bits
// (and, where the process may, its owner); a new one gets 0666 less the
// umask. An output path that is a symbolic link is followed, and the file it
// points to is replaced.
//
// A FIFO or a character device (/dev/stdout, a terminal, a printer port) is
// never replaced: it is written directly, in order, and a FIFO must have a
// reader when the file is created. Anything else at the path (a folder, a
// socket, a block device) is refused.
//
// The file is written in text mode: every line feed is stored as CR LF.
// Every call on the files goes through the FileSystem given to Create,
// which must outlive the object. Not thread-safe: one writer at a time.
class PublishedFile {
  // Restricts construction to Create while letting it use make_unique.
  struct Token {
    explicit Token() = default;
  };

 public:
  // Starts the file that will be published at `path`. Null when it cannot
  // be started: a missing or read-only folder, a path that names a folder or
  // another kind of file that is refused, a FIFO without a reader; `why`
  // (when given) then receives the reason in words fit for a log line, such
  // as "No such file or directory (folder www does not exist)". `stop`
  // (null: never) is asked while a FIFO or device takes no data; once it
  // returns true the writes give up and the file fails.
  static std::unique_ptr<PublishedFile> Create(FileSystem& files, const std::string& path,
                                               std::function<bool()> stop = nullptr,
                                               std::string* why = nullptr);

  // Use Create. `file` for a replaced file, `direct` for one written directly.
  PublishedFile(Token, FileSystem& files, std::string path, std::unique_ptr<fs::AtomicFile> file,
                fs::UniqueFd direct, std::function<bool()> stop, bool existed);

  // Publishes what has been written, unless Publish() or Discard() was
  // called already.
  ~PublishedFile();

  PublishedFile(const PublishedFile&) = delete;
  PublishedFile& operator=(const PublishedFile&) = delete;

  // Appends `text`, each "\n" stored as "\r\n". Buffered.
  void Write(std::string_view text);

  // Writes out the buffer and puts the file in place: first removes the
  // temporary files of the same path that writers no longer running left
  // behind, then renames the file onto its path (a directly written file is
  // closed). Returns false when a write, the flush or the rename failed: the
  // temporary file is then removed and the previous file at the path stays
  // as it was. Later calls do nothing and return the first result.
  bool Publish();

  // Drops what has been written and not yet published: the temporary file
  // is removed and the file at the path stays as it was; a FIFO or device
  // gets nothing more. Later calls of Publish return false.
  void Discard();

  // The output path given to Create.
  const std::string& path() const { return path_; }
  // Whether the path is written directly (a FIFO or a character device).
  bool direct() const { return direct_; }
  // Whether something was at the path when the file was started.
  bool existed() const { return existed_; }

 private:
  void Flush();

  FileSystem& files_;
  const std::string path_;
  std::unique_ptr<fs::AtomicFile> file_;  // replaced: its target is `path_` with links followed
  fs::UniqueFd fd_;                       // written directly
  const std::function<bool()> stop_;
  const bool direct_;
  const bool existed_;
  std::string buffer_;
  bool ok_ = true;
  bool done_ = false;
  bool result_ = false;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_FS_PUBLISHED_FILE_H_
