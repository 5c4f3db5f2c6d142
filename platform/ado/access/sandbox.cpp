#include "platform/ado/access/sandbox.h"

#include <fcntl.h>
#include <malloc.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/fs/fd.h"

// Valgrind, like AddressSanitizer, maps far more than the process uses.
#if defined(__SANITIZE_ADDRESS__) || defined(TAVRIN_CALLGRIND)
#define TAVRIN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIN_ASAN 1
#endif
#endif

namespace tavrin::ado::access {
namespace {

#ifndef TAVRIN_ASAN
// The address space mapped now, from /proc/self/statm; 0 when unknown.
uint64_t MappedBytes() {
  fs::UniqueFd fd(::open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
  char text[64] = "";
  if (!fd.valid() || ::read(fd.get(), text, sizeof text - 1) <= 0) return 0;
  unsigned long long pages = 0;
  if (std::sscanf(text, "%llu", &pages) != 1) return 0;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}
#endif

void SetLimit(int resource, rlim_t soft, rlim_t hard) {
  const rlimit limit{soft, hard};
  setrlimit(resource, &limit);
}

#ifndef TAVRIN_CALLGRIND
bool LoadFilter(int out_fd, int file_fd) {
  using Context = std::unique_ptr<void, decltype(&seccomp_release)>;
  Context ctx(seccomp_init(SCMP_ACT_KILL_PROCESS), seccomp_release);
  if (!ctx) return false;
  auto allow = [&](int call) { return seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, call, 0) == 0; };
#ifdef TAVRIN_ASAN
  // The sanitizers probe whether memory is readable by writing it to a pipe
  // of their own, and look at the signal stack when an exception is thrown;
  // builds with them (tests only) allow that much more.
  bool ok = true;
  for (int call : {SCMP_SYS(write), SCMP_SYS(pipe2), SCMP_SYS(read), SCMP_SYS(close), SCMP_SYS(sigaltstack),
                   SCMP_SYS(prlimit64), SCMP_SYS(getrlimit)})
    ok = ok && allow(call);
#else
  bool ok = seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(write), 1,
                             SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(out_fd), 0)) == 0;
#endif
  // Whether its writes wait (O_NONBLOCK), and no other flag or command.
  ok = ok && seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 3,
                              SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(out_fd), 0),
                              SCMP_A1(SCMP_CMP_EQ, F_SETFL, 0),
                              SCMP_A2(SCMP_CMP_MASKED_EQ, ~static_cast<scmp_datum_t>(O_NONBLOCK), 0)) == 0;
  if (file_fd >= 0)
    ok = ok && seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(pread64), 1,
                                SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(file_fd), 0)) == 0;
  // Memory, never executable.
  ok = ok && seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1,
                              SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0;
  ok = ok && seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1,
                              SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0;
  for (int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise),
                   SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn), SCMP_SYS(futex),
                   SCMP_SYS(clock_gettime), SCMP_SYS(getpid), SCMP_SYS(gettid),
                   SCMP_SYS(rt_sigprocmask)})
    ok = ok && allow(call);
  // abort() ends the process with SIGABRT as it should, rather than SIGSYS.
  ok = ok && seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 2,
                              SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid()), 0),
                              SCMP_A2(SCMP_CMP_EQ, SIGABRT, 0)) == 0;
  ok = ok && seccomp_attr_set(ctx.get(), SCMP_FLTATR_CTL_NNP, 1) == 0;
  return ok && seccomp_load(ctx.get()) == 0;
}
#endif

}  // namespace

SandboxLimits LimitsForFile(int64_t file_size) {
  const auto size = static_cast<uint64_t>(file_size > 0 ? file_size : 0);
  SandboxLimits limits;
  limits.memory_bytes = 3 * size + (uint64_t{256} << 20);
  limits.cpu_seconds = 10 + static_cast<int>(size >> 22);
  return limits;
}

bool EnterSandbox(int out_fd, const SandboxLimits& limits, [[maybe_unused]] int file_fd) {
  SetLimit(RLIMIT_CORE, 0, 0);
  SetLimit(RLIMIT_FSIZE, 0, 0);
  if (limits.cpu_seconds > 0)
    SetLimit(RLIMIT_CPU, static_cast<rlim_t>(limits.cpu_seconds), static_cast<rlim_t>(limits.cpu_seconds) + 1);
#ifndef TAVRIN_ASAN
  // AddressSanitizer reserves terabytes of address space for its shadow,
  // and the sanitizers' checks make pipes.
  if (limits.memory_bytes > 0) {
    const uint64_t mapped = MappedBytes();
    if (mapped > 0) SetLimit(RLIMIT_AS, mapped + limits.memory_bytes, mapped + limits.memory_bytes);
  }
  SetLimit(RLIMIT_NOFILE, 0, 0);
#endif
  // Before the C library shrinks the heap of a thread other than the main
  // one (a process forked by such a thread allocates from it), it opens
  // /proc/sys/vm/overcommit_memory, which would kill the process: heaps are
  // never trimmed from here on (thread heaps are 64 MiB at most). The
  // sanitizers' allocator ignores this, and never trims that way.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#ifdef TAVRIN_CALLGRIND
  // Valgrind cannot run a seccomp filter: a build for it goes without.
  return true;
#else
  return LoadFilter(out_fd, file_fd);
#endif
}

}  // namespace tavrin::ado::access
