#include "output/published_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/fs/paths.h"

namespace tavrin {
namespace {

constexpr size_t kBufferSize = 64 * 1024;
constexpr int kMaxNameAttempts = 100;

std::string RandomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

}  // namespace

std::unique_ptr<PublishedFile> PublishedFile::Create(const std::string& path) {
  if (path.empty()) return nullptr;
  std::string target;
  if (fs::FollowLinks(path, &target) != 0) return nullptr;
  struct stat existing;
  const bool exists = stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return nullptr;

  // A hidden name beside the target keeps the rename within one file system
  // and out of plain directory listings.
  const std::string prefix = fs::DirName(target) + "/." + fs::BaseName(target) + ".";
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    std::unique_ptr<fs::AtomicFile> file;
    const int err = fs::AtomicFile::Create(target, prefix + RandomSuffix() + ".tmp",
                                           exists ? &existing : nullptr, &file);
    if (err == EEXIST) continue;
    if (err != 0) return nullptr;
    return std::make_unique<PublishedFile>(Token(), path, std::move(file));
  }
  return nullptr;
}

PublishedFile::PublishedFile(Token, std::string path, std::unique_ptr<fs::AtomicFile> file)
    : path_(std::move(path)), file_(std::move(file)) {
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
  if (ok_ && file_->Write(buffer_) != 0) ok_ = false;
  buffer_.clear();
}

bool PublishedFile::Publish() {
  if (published_) return result_;
  published_ = true;
  Flush();
  if (ok_ && file_->Commit() != 0) ok_ = false;
  // Not committed: the temporary file goes with the object.
  file_.reset();
  result_ = ok_;
  return result_;
}

}  // namespace tavrin
