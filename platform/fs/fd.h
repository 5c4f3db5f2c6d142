#ifndef TAVRIN_PLATFORM_FS_FD_H_
#define TAVRIN_PLATFORM_FS_FD_H_

#include <cstddef>
#include <functional>
#include <string_view>

namespace tavrin::fs {

// Owns a file descriptor and closes it on every way out. Movable, not
// copyable; thread-compatible.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor (if any) and holds `fd`.
  void Reset(int fd = -1);
  // Closes now and returns 0 or the errno value of close, which may be the
  // only report of a write that failed late (on NFS, say).
  int Close();

 private:
  int fd_;
};

// Writes all of `data`, retrying after EINTR and short writes. Returns 0 or
// an errno value.
int WriteAll(int fd, std::string_view data);

// Reads exactly `size` bytes into `data`, retrying after EINTR and short
// reads. Returns 0 once all are read, ENODATA when the input ends first
// (what came before is in `data`), or the errno value of a failed read.
int ReadFull(int fd, void* data, size_t size);

// Writes all of `data` to `fd`, which should be non-blocking (a FIFO or a
// device that may stop taking data): while it takes nothing, waits for it in
// steps of at most a fifth of a second and gives up with ECANCELED once
// `stop` returns true. Returns 0 or an errno value.
int WriteAllUnlessStopped(int fd, std::string_view data, const std::function<bool()>& stop);

// Opens each of standard input, output and error that is closed on
// /dev/null (input for reading, the others for writing), so that the next
// file the process opens cannot take their number and receive what is meant
// for them. Call before anything else opens a file. Returns 0, or the errno
// value of the first one that could not be opened (the others are still
// tried).
int OpenClosedStandardStreams();

}  // namespace tavrin::fs

#endif  // TAVRIN_PLATFORM_FS_FD_H_
