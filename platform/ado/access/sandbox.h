#ifndef TAVRIN_PLATFORM_ADO_ACCESS_SANDBOX_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_SANDBOX_H_

// Confining the process that parses an untrusted Access file.

#include <cstdint>

namespace tavrin::ado::access {

struct SandboxLimits {
  uint64_t memory_bytes = 0;  // address space beyond what is mapped already; 0: no limit
  int cpu_seconds = 0;
};

// Limits that a reader of a file of `file_size` bytes never comes near: the
// file's mapping and twice its size again (its largest values decoded) plus
// 256 MiB, and 10 seconds of processor time plus one per 4 MiB.
SandboxLimits LimitsForFile(int64_t file_size);

// Confines the calling process for good: no core dumps and no files
// written, the limits, no new privileges, and a seccomp filter under which
// it may only write to `out_fd` (and set whether its writes wait), read from
// `file_fd` at an offset (pread; -1: from nothing), manage its memory (never executable) and exit, and
// raise SIGABRT against itself; any other system call (open, socket,
// connect, exec, fork...) kills it with SIGSYS. (Builds with the
// sanitizers, which are for tests, also let it make, read and close pipes
// and write anywhere, as the sanitizers' own checks do.) The process must
// have a single thread; its heap is no longer trimmed. Returns false when
// the filter cannot be installed.
bool EnterSandbox(int out_fd, const SandboxLimits& limits, int file_fd = -1);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_SANDBOX_H_
