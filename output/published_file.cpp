#include "output/published_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace tavrin {
namespace {

constexpr size_t kBufferSize = 64 * 1024;
constexpr int kMaxLinkHops = 40;  // as the kernel allows when it follows links
constexpr int kMaxNameAttempts = 100;

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `path` with symbolic links at its last component followed, so that the
// rename replaces the file a link points to rather than the link.
std::string FollowLinks(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4095) + 1, '\0');
    const ssize_t n = readlink(path.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return path;
    link.resize(static_cast<size_t>(n));
    path = link.front() == '/' ? link : DirName(path) + "/" + link;
  }
  return path;
}

std::string RandomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

}  // namespace

std::unique_ptr<PublishedFile> PublishedFile::Create(const std::string& path) {
  if (path.empty()) return nullptr;
  std::string target = FollowLinks(path);
  struct stat existing;
  const bool exists = stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return nullptr;

  // A hidden name beside the target keeps the rename within one file system
  // and out of plain directory listings.
  const std::string prefix = DirName(target) + "/." + BaseName(target) + ".";
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    std::string temp = prefix + RandomSuffix() + ".tmp";
    // Mode 0666 lets the kernel apply the umask (and any default ACL) exactly
    // as it would for a file created in place.
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (exists) fchmod(fd, existing.st_mode & 07777);
    return std::make_unique<PublishedFile>(Token(), path, std::move(target), std::move(temp), fd);
  }
  return nullptr;
}

PublishedFile::PublishedFile(Token, std::string path, std::string target, std::string temp, int fd)
    : path_(std::move(path)), target_(std::move(target)), temp_(std::move(temp)), fd_(fd) {
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
  const char* data = buffer_.data();
  size_t left = buffer_.size();
  while (ok_ && left > 0) {
    const ssize_t n = write(fd_, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok_ = false;
    } else {
      data += n;
      left -= static_cast<size_t>(n);
    }
  }
  buffer_.clear();
}

bool PublishedFile::Publish() {
  if (published_) return result_;
  published_ = true;
  Flush();
  // Synced before the rename, so a crash never leaves an empty file in place
  // of the previous one.
  if (ok_ && fsync(fd_) != 0) ok_ = false;
  if (close(fd_) != 0) ok_ = false;
  fd_ = -1;
  if (ok_ && rename(temp_.c_str(), target_.c_str()) != 0) ok_ = false;
  if (!ok_) unlink(temp_.c_str());
  result_ = ok_;
  return result_;
}

}  // namespace tavrin
