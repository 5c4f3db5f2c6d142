#include "platform/ado/access/reader_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/file_check.h"
#include "platform/ado/access/output_capture.h"
#include "platform/ado/access/row_stream.h"
#include "platform/ado/access/sandbox.h"
#include "platform/ado/access/table_reader.h"
#include "platform/fs/fd.h"
#include "platform/text/ascii.h"

namespace tavrin::ado::access {
namespace {

constexpr size_t kReadChunk = 256 << 10;
constexpr int kPollMs = 100;

// The file, or the table being read, cannot be read whole: worth a retry.
ProviderFailure Unreadable(const std::string& path, const std::string& table, const std::string& what) {
  if (!table.empty()) return Damaged(table, what);
  return {kEFail, "The database file '" + path + "' cannot be read: " + what +
                      " The file may be damaged or was being changed.",
          {}, true};
}

std::string DescribeEnd(int status, const SandboxLimits& limits) {
  if (WIFEXITED(status))
    return "its reader ended without finishing (exit status " + std::to_string(WEXITSTATUS(status)) + ").";
  const int sig = WTERMSIG(status);
  const char* name = sigdescr_np(sig);
  const std::string signal = "signal " + std::to_string(sig) + " (" + (name ? name : "unknown") + ")";
  if (sig == SIGSYS) return "its reader tried an operation that it is not allowed (" + signal + ").";
  if (sig == SIGXCPU)
    return "its reader used more than " + std::to_string(limits.cpu_seconds) + " seconds of processor time.";
  return "its reader ended on " + signal + ".";
}

// The reader's body: never returns into the caller's code.
[[noreturn]] void RunChild(int file_fd, const FileFacts& facts, const std::string& path,
                           const ReadRequest& request, int out_fd, const ReaderOptions& options,
                           pid_t parent) {
  // A stop is the parent's to carry out; the child ends with it.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_DFL);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  int status = 0;
  try {
    StreamWriter out(out_fd);
    try {
      void* image = mmap(nullptr, static_cast<size_t>(facts.size), PROT_READ, MAP_PRIVATE, file_fd, 0);
      if (image == MAP_FAILED)
        throw ProviderFailure{kEFail, "The database file '" + path + "' cannot be mapped: " + strerrordesc_np(errno), {}};
      // Nothing of the parent's but the pipe stays open.
      close_range(0, static_cast<unsigned>(out_fd) - 1, 0);
      close_range(static_cast<unsigned>(out_fd) + 1, ~0U, 0);
      OutputCapture capture;
      MdbReader reader(static_cast<const unsigned char*>(image), facts, path, capture);
      if (options.before_sandbox) options.before_sandbox();
      if (!EnterSandbox(out_fd, LimitsForFile(facts.size)))
        throw ProviderFailure{kEFail, "The database reader cannot be isolated: this system has no seccomp filters.", {}};
      if (options.in_sandbox) options.in_sandbox(out_fd);
      reader.ReadCatalog();
      for (const auto& name : request.tables) reader.ReadTable(name, request.rows, out);
      out.Done();
    } catch (const ProviderFailure& f) {
      out.Failure(f);
    } catch (const std::bad_alloc&) {
      out.Failure({kEOutOfMemory, "The database reader ran out of memory.", {}, true});
    } catch (const std::length_error&) {
      out.Failure({kEOutOfMemory, "The database reader ran out of memory.", {}, true});
    }
  } catch (...) {
    status = 3;
  }
  _exit(status);
}

// The reader child, killed and reaped on every way out.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    Kill();
    Wait();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void Kill() {
    if (!reaped_) kill(pid_, SIGKILL);
  }
  int Wait() {
    while (!reaped_) reaped_ = waitpid(pid_, &status_, 0) == pid_ || errno != EINTR;
    return status_;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
  int status_ = 0;
};

std::vector<std::shared_ptr<StoredTable>> ReadOnce(const std::string& path, const ReadRequest& request, Env& env,
                                                   const CancelCheck& cancelled, const ReaderOptions& options) {
  fs::UniqueFd file = OpenFile(path);
  const FileFacts facts = CheckFile(file.get(), path);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw ProviderFailure{kEOutOfMemory, "Cannot start the database reader.", {}};
  fs::UniqueFd in(ends[0]), out(ends[1]);
  fcntl(in.get(), F_SETPIPE_SZ, 1 << 20);  // fewer wake-ups; the default works too
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw ProviderFailure{kEOutOfMemory, "Cannot start the database reader.", {}};
  if (pid == 0) RunChild(file.get(), facts, path, request, out.get(), options, parent);
  Child child(pid);
  out.Reset();
  file.Reset();

  const SandboxLimits limits = LimitsForFile(facts.size);
  // Decoded text takes more room than Jet's compressed form, a cell more
  // than its bytes in the row; no Access file needs this much.
  StreamReader stream(16 * static_cast<uint64_t>(facts.size) + (uint64_t{256} << 20));
  auto heard = env.SteadyNow();
  bool closed = false;
  while (!stream.finished() && !closed) {
    if (cancelled && cancelled()) throw Stopped();
    pollfd p{in.get(), POLLIN, 0};
    const int ready = poll(&p, 1, kPollMs);
    if (ready > 0) {
      char* space = stream.Space(kReadChunk);
      const ssize_t n = read(in.get(), space, kReadChunk);
      if (n > 0) {
        try {
          stream.Commit(static_cast<size_t>(n));
        } catch (const StreamError& e) {
          throw Unreadable(path, stream.current_table(), std::string("its reader sent data out of place (") + e.what() + ").");
        }
        heard = env.SteadyNow();
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        closed = true;
      }
    } else if (ready == 0 && env.SteadyNow() - heard > options.silence) {
      throw Unreadable(path, stream.current_table(),
                       "its reader did not answer for " +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options.silence).count()) +
                           " seconds.");
    }
  }
  if (!stream.finished()) throw Unreadable(path, stream.current_table(), DescribeEnd(child.Wait(), limits));
  if (stream.failure()) throw *stream.failure();
  auto& tables = stream.tables();
  bool as_asked = tables.size() == request.tables.size();
  for (size_t i = 0; as_asked && i < tables.size(); ++i)
    as_asked = text::EqualsIgnoreAsciiCase(tables[i]->name, request.tables[i]);
  if (!as_asked) throw Unreadable(path, "", "its reader sent other tables than were asked for.");
  return std::move(tables);
}

}  // namespace

std::vector<std::shared_ptr<StoredTable>> ReadAccessFile(const std::string& path, const ReadRequest& request,
                                                         Env& env, const CancelCheck& cancelled,
                                                         const ReaderOptions& options) {
  try {
    return ReadOnce(path, request, env, cancelled, options);
  } catch (const ProviderFailure& f) {
    if (!f.retry || (cancelled && cancelled())) throw;
  }
  env.SleepFor(std::chrono::milliseconds(100));
  return ReadOnce(path, request, env, cancelled, options);
}

}  // namespace tavrin::ado::access
