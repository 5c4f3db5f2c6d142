#include "platform/fs/published_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/fs/paths.h"
#include "platform/fs/regular_file.h"
#include "platform/fs/temp_names.h"

namespace tavrin {
namespace {

constexpr size_t kBufferSize = 64 * 1024;
constexpr int kMaxNameAttempts = 100;

bool WrittenDirectly(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode); }

// Why a file at `path` could not be created, from the errno value `err`:
// its text, and for a missing or unwritable folder, which folder.
std::string CreateFailure(FileSystem& files, const std::string& path, int err) {
  std::string why = std::strerror(err);
  const std::string folder = fs::DirName(path);
  struct stat st;
  if (err == ENOENT && files.Stat(folder, &st) != 0) {
    why += " (folder " + folder + " does not exist)";
  } else if (err == EACCES || err == EROFS) {
    why += " (folder " + folder + " cannot be written)";
  } else if (err == ENXIO) {
    why += " (no process reads the FIFO)";
  }
  return why;
}

std::string RefusedType(mode_t mode) {
  return std::string("it is ") + fs::FileTypeName(mode) + ", not a regular file";
}

}  // namespace

std::unique_ptr<PublishedFile> PublishedFile::Create(FileSystem& files, const std::string& path,
                                                     std::function<bool()> stop, std::string* why) {
  const auto fail = [why](std::string reason) -> std::unique_ptr<PublishedFile> {
    if (why) *why = std::move(reason);
    return nullptr;
  };
  if (path.empty()) return fail("no file name is given");
  struct stat st;
  // The kernel follows the links here, so /dev/stdout reaches whatever
  // standard output is, a pipe included.
  if (files.Stat(path, &st) == 0 && WrittenDirectly(st)) {
    // Non-blocking: a FIFO without a reader fails at once (ENXIO) instead
    // of holding the run, and a device that stops taking data cannot hold
    // a stop.
    fs::UniqueFd fd;
    int err = files.OpenForWriting(path, &fd);
    if (err == 0) err = files.Fstat(fd.get(), &st);
    if (err != 0) return fail(CreateFailure(files, path, err));
    if (!WrittenDirectly(st)) return fail(RefusedType(st.st_mode));
    return std::make_unique<PublishedFile>(Token(), files, path, nullptr, std::move(fd), std::move(stop),
                                           true);
  }

  std::string target;
  if (const int err = fs::FollowLinks(path, &target); err != 0) return fail(CreateFailure(files, path, err));
  const bool exists = files.Stat(target, &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return fail(RefusedType(st.st_mode));
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    std::unique_ptr<fs::AtomicFile> file;
    const int err =
        fs::AtomicFile::Create(target, fs::TempNameFor(target), exists ? &st : nullptr, &file, files);
    if (err == EEXIST) continue;
    if (err != 0) return fail(CreateFailure(files, target, err));
    return std::make_unique<PublishedFile>(Token(), files, path, std::move(file), fs::UniqueFd(),
                                           std::move(stop), exists);
  }
  return fail(CreateFailure(files, target, EEXIST));
}

PublishedFile::PublishedFile(Token, FileSystem& files, std::string path, std::unique_ptr<fs::AtomicFile> file,
                             fs::UniqueFd direct, std::function<bool()> stop, bool existed)
    : files_(files),
      path_(std::move(path)),
      file_(std::move(file)),
      fd_(std::move(direct)),
      stop_(std::move(stop)),
      direct_(fd_.valid()),
      existed_(existed) {
  buffer_.reserve(kBufferSize + 4096);
}

PublishedFile::~PublishedFile() { Publish(); }

void PublishedFile::Write(std::string_view text) {
  size_t start = 0;
  for (size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', start)) {
    buffer_.append(text.substr(start, lf - start));
    buffer_.append("\r\n");
    start = lf + 1;
  }
  buffer_.append(text.substr(start));
  if (buffer_.size() >= kBufferSize) Flush();
}

void PublishedFile::Flush() {
  if (ok_ && !done_) {
    const int err = direct_ ? files_.WriteUnlessStopped(fd_.get(), buffer_, [this] { return stop_ && stop_(); })
                            : file_->Write(buffer_);
    if (err != 0) ok_ = false;
  }
  buffer_.clear();
}

bool PublishedFile::Publish() {
  if (done_) return result_;
  Flush();
  done_ = true;
  if (direct_) {
    if (fd_.Close() != 0) ok_ = false;
  } else {
    if (ok_) fs::RemoveDeadWritersTemps(file_->target());
    if (ok_ && file_->Commit() != 0) ok_ = false;
    // Not committed: the temporary file goes with the object.
    file_.reset();
  }
  result_ = ok_;
  return result_;
}

void PublishedFile::Discard() {
  if (done_) return;
  done_ = true;
  buffer_.clear();
  fd_.Reset();
  file_.reset();
  result_ = false;
}

}  // namespace tavrin
