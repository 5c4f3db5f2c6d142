#ifndef TAVRIN_PLATFORM_ENV_STDERR_LOCK_H_
#define TAVRIN_PLATFORM_ENV_STDERR_LOCK_H_

#include <mutex>

namespace tavrin {

// The lock on the process's standard error: every writer of lines there
// holds it for its write, so that lines of different threads never
// interleave. Hold it for the write only.
std::mutex& StderrLock();

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_ENV_STDERR_LOCK_H_
