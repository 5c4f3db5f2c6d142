#ifndef TAVRIN_PLATFORM_ADO_ACCESS_STDERR_CAPTURE_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_STDERR_CAPTURE_H_

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/fs/fd.h"

namespace tavrin::ado::access {

// Sends standard error into a memory file while libmdb runs, so that its
// warnings become error entries instead of reaching the user's terminal.
// Holds StderrLock() for its lifetime: standard error belongs to the
// process, so only one capture may exist at a time (which also keeps libmdb
// to one thread).
class CapturedStderr {
 public:
  CapturedStderr();
  ~CapturedStderr();
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // The lines written since the start or the previous call, at most ten and
  // a line that counts the rest.
  std::vector<std::string> Take();

 private:
  void Restore();

  std::unique_lock<std::mutex> lock_;
  fs::UniqueFd file_;
  int saved_ = -1;
  off_t read_ = 0;
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_STDERR_CAPTURE_H_
