#include "platform/fs/fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tavrin::fs {
namespace {

constexpr int kStopCheckMillis = 200;

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int UniqueFd::Close() {
  if (fd_ < 0) return 0;
  const int rc = ::close(Release());
  return rc == 0 ? 0 : errno;
}

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int ReadFull(int fd, void* data, size_t size) {
  auto* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, at, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENODATA;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int WriteAllUnlessStopped(int fd, std::string_view data, const std::function<bool()>& stop) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A device may also take nothing without saying why.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    if (stop()) return ECANCELED;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, kStopCheckMillis) < 0 && errno != EINTR) return errno;
  }
  return 0;
}

int OpenClosedStandardStreams() {
  int first_error = 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Normally the lower numbers are open by now and open() returns `fd`
    // itself; after a failure for a lower one it does not.
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      if (dup2(opened, fd) < 0 && first_error == 0) first_error = errno;
      close(opened);
    } else if (opened < 0 && first_error == 0) {
      first_error = errno;
    }
  }
  return first_error;
}

}  // namespace tavrin::fs
