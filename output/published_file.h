#ifndef TAVRIN_OUTPUT_PUBLISHED_FILE_H_
#define TAVRIN_OUTPUT_PUBLISHED_FILE_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/fs/atomic_file.h"

namespace tavrin {

// An output text file that readers only ever see whole.
//
// The text goes to a temporary file in the output's folder and is renamed
// onto the output path when the writer publishes it, so a reader of the path
// sees either the file that was there before or the finished one, and two
// writers of the same path never mix their lines (the last to publish wins).
// The file is written in text mode: every line feed is stored as CR LF.
//
// An existing output file keeps its permission bits (and, where the process
// may, its owner); a new one gets 0666 less the umask. An output path that is a symbolic link is followed, and the
// file it points to is replaced.
//
// Not thread-safe: one writer at a time.
class PublishedFile {
  // Restricts construction to Create while letting it use make_unique.
  struct Token {
    explicit Token() = default;
  };

 public:
  // Starts the file that will be published at `path`. Null when the
  // temporary file cannot be created (a missing or read-only folder, or a
  // path that names a folder).
  static std::unique_ptr<PublishedFile> Create(const std::string& path);

  // Use Create.
  PublishedFile(Token, std::string path, std::unique_ptr<fs::AtomicFile> file);

  // Publishes what has been written, unless Publish() was called already.
  ~PublishedFile();

  PublishedFile(const PublishedFile&) = delete;
  PublishedFile& operator=(const PublishedFile&) = delete;

  // Appends `text`, each "\n" stored as "\r\n". Buffered.
  void Write(std::string_view text);

  // Writes out the buffer and renames the file onto its path. Returns false
  // when a write, the flush or the rename failed: the temporary file is then
  // removed and the previous file at the path stays as it was. Later calls
  // do nothing and return the first result.
  bool Publish();

  // The output path given to Create.
  const std::string& path() const { return path_; }

 private:
  void Flush();

  const std::string path_;
  std::unique_ptr<fs::AtomicFile> file_;  // its target: `path_` with links followed
  std::string buffer_;
  bool ok_ = true;
  bool published_ = false;
  bool result_ = false;
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_PUBLISHED_FILE_H_
