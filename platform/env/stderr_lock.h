#ifndef TAVRIN_PLATFORM_ENV_STDERR_LOCK_H_
#define TAVRIN_PLATFORM_ENV_STDERR_LOCK_H_

#include <mutex>

namespace tavrin {

// The lock on the process's standard error. The Access provider holds it
// while it captures what libmdb writes there; every other writer to standard
// error holds it for its write, so its text is never taken for a libmdb
// warning. Never hold it while calling into the database layer.
std::mutex& StderrLock();

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_ENV_STDERR_LOCK_H_
