#include "platform/ado/access/reader_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// What a reader child does with the file once it is confined.
using ChildWork = std::function<void(MdbReader&, StreamWriter&)>;

// What a reader child does first, before it opens the file; false: nothing
// is asked of it, and it ends.
using ChildStart = std::function<bool()>;

// The reader's body: never returns into the caller's code.
[[noreturn]] void RunChild(int file_fd, const FileFacts& facts, const std::string& path, const ChildStart& start,
                           const ChildWork& work, int out_fd, const std::function<void(int)>& in_sandbox,
                           const ReaderOptions& options, pid_t parent) {
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
      if (start && !start()) _exit(0);
      void* image = mmap(nullptr, static_cast<size_t>(facts.size), PROT_READ, MAP_PRIVATE, file_fd, 0);
      if (image == MAP_FAILED)
        throw ProviderFailure{kEFail, "The database file '" + path + "' cannot be mapped: " + strerrordesc_np(errno), {}};
      // Nothing of the parent's but the pipe and the file stays open.
      const auto low = static_cast<unsigned>(std::min(out_fd, file_fd));
      const auto high = static_cast<unsigned>(std::max(out_fd, file_fd));
      if (low > 0) close_range(0, low - 1, 0);
      if (high > low + 1) close_range(low + 1, high - 1, 0);
      close_range(high + 1, ~0U, 0);
      // Rows read ahead wait in the writer, not in a blocked write, while
      // the parent takes what the pipe holds (StreamWriter::HoldRows).
      fcntl(out_fd, F_SETFL, fcntl(out_fd, F_GETFL) | O_NONBLOCK);
      OutputCapture capture;
      MdbReader reader(static_cast<const unsigned char*>(image), facts, path, capture, file_fd);
      if (options.before_sandbox) options.before_sandbox();
      if (!EnterSandbox(out_fd, LimitsForFile(facts.size), file_fd))
        throw ProviderFailure{kEFail, "The database reader cannot be isolated: this system has no seccomp filters.", {}};
      if (in_sandbox) in_sandbox(out_fd);
      reader.ReadCatalog();
      work(reader, out);
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

}  // namespace

// A reader child at work on an open file, killed and reaped with this
// object, and the stream it sends.
class ReaderRun {
 public:
  // `large_pipe`: a pipe of 1 MiB, for a reader whose stream the caller
  // takes as fast as it comes (fewer wake-ups); otherwise the default, so
  // that a reader whose rows are handed out one at a time gets no further
  // ahead of them than a few hundred KiB (see also GrowPipe).
  ReaderRun(const OpenAccessFile& file, const ChildStart& start, const ChildWork& work, Env& env,
            CancelCheck cancelled, const std::function<void(int)>& in_sandbox, const ReaderOptions& options,
            bool large_pipe)
      : path_(file.path),
        limits_(LimitsForFile(file.facts.size)),
        env_(env),
        cancelled_(std::move(cancelled)),
        silence_(options.silence),
        // Decoded text takes more room than Jet's compressed form, a cell
        // more than its bytes in the row; no Access file needs this much.
        stream_(16 * static_cast<uint64_t>(file.facts.size) + (uint64_t{256} << 20)) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw ProviderFailure{kEOutOfMemory, "Cannot start the database reader.", {}};
    in_ = fs::UniqueFd(ends[0]);
    fs::UniqueFd out(ends[1]);
    if (large_pipe) GrowPipe();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) throw ProviderFailure{kEOutOfMemory, "Cannot start the database reader.", {}};
    if (pid == 0) RunChild(file.fd.get(), file.facts, file.path, start, work, out.get(), in_sandbox, options, parent);
    child_ = std::make_unique<Child>(pid);
  }

  StreamReader& stream() { return stream_; }

  // Makes the pipe hold 1 MiB from now on.
  void GrowPipe() { fcntl(in_.get(), F_SETPIPE_SZ, 1 << 20); }

  // From now on the reader's silence counts: the caller waits for it.
  void StartWaiting() { heard_ = env_.SteadyNow(); }

  // Waits up to a moment for more of the stream and takes what came. False
  // once the reader has closed its end. Throws ProviderFailure: Stopped once
  // `cancelled` holds, the file unreadable when the reader broke the stream
  // or has been silent too long (since StartWaiting or what it sent last).
  bool Receive() {
    if (cancelled_ && cancelled_()) throw Stopped();
    pollfd p{in_.get(), POLLIN, 0};
    const int ready = poll(&p, 1, kPollMs);
    if (ready > 0) {
      char* space = stream_.Space(kReadChunk);
      const ssize_t n = read(in_.get(), space, kReadChunk);
      if (n > 0) {
        try {
          stream_.Commit(static_cast<size_t>(n));
        } catch (const ProviderFailure& e) {
          throw Unreadable("its reader sent data out of place (" + e.description + ").");
        }
        heard_ = env_.SteadyNow();
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        return false;
      }
    } else if (ready == 0 && env_.SteadyNow() - heard_ > silence_) {
      throw Unreadable("its reader did not answer for " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(silence_).count()) +
                       " seconds.");
    }
    return true;
  }

  // Throws what ended a stream that is not to go on: the reader's own
  // failure, or how it died when it did not finish.
  [[noreturn]] void ThrowEnd() {
    if (!stream_.finished()) throw Unreadable(DescribeEnd(child_->Wait(), limits_));
    if (stream_.failure()) throw *stream_.failure();
    throw Unreadable("its reader sent other rows than were asked for.");
  }

  // Takes the whole stream; throws as Receive and ThrowEnd.
  void ReceiveAll() {
    StartWaiting();
    while (!stream_.finished())
      if (!Receive()) ThrowEnd();
    if (stream_.failure()) throw *stream_.failure();
  }

  // The file, or the table being read, cannot be read whole: worth a retry.
  ProviderFailure Unreadable(const std::string& what) const {
    const std::string table = stream_.current_table();
    if (!table.empty()) return Damaged(table, what);
    return {kEFail, "The database file '" + path_ + "' cannot be read: " + what +
                        " The file may be damaged or was being changed.",
            {}, true};
  }

 private:
  std::string path_;
  SandboxLimits limits_;
  Env& env_;
  CancelCheck cancelled_;
  std::chrono::milliseconds silence_;
  StreamReader stream_;
  fs::UniqueFd in_;
  std::unique_ptr<Child> child_;
  Env::SteadyTime heard_{};
};

namespace {

FileReading ReadOnce(const std::string& path, const ReadRequest& request, Env& env, const CancelCheck& cancelled,
                     const ReaderOptions& options) {
  auto file = std::make_shared<OpenAccessFile>();
  file->fd = OpenFile(path);
  file->stamp = fs::StampOf(file->fd.get());
  file->facts = CheckFile(file->fd.get(), path);
  file->path = path;
  const ChildWork work = [&request](MdbReader& reader, StreamWriter& out) {
    for (size_t i = 0; i < request.tables.size(); ++i) {
      const bool keyed = i == 0 && request.keys;
      reader.ReadTable(request.tables[i], {request.rows, keyed ? &*request.keys : nullptr}, out);
    }
  };
  std::unique_ptr<RowFetch> fetch;
  if (request.keys) fetch = std::make_unique<RowFetch>(file, request.tables.at(0), env, cancelled, options);
  ReaderRun reader(*file, {}, work, env, cancelled, options.in_sandbox, options, true);
  reader.ReceiveAll();
  auto& tables = reader.stream().tables();
  bool as_asked = tables.size() == request.tables.size();
  for (size_t i = 0; as_asked && i < tables.size(); ++i)
    as_asked = text::EqualsIgnoreAsciiCase(tables[i]->name, request.tables[i]);
  if (!as_asked) throw reader.Unreadable("its reader sent other tables than were asked for.");
  // The reader walked the file's pages as they were at each moment: what it
  // sent is of one version only if nothing was written meanwhile.
  if (!file->Unchanged()) throw Changed(path);
  return {std::move(tables), std::move(file), std::move(fetch)};
}

}  // namespace

FileReading ReadAccessFileKept(const std::string& path, const ReadRequest& request, Env& env,
                               const CancelCheck& cancelled, const ReaderOptions& options) {
  try {
    return ReadOnce(path, request, env, cancelled, options);
  } catch (const ProviderFailure& f) {
    if (!f.retry || (cancelled && cancelled())) throw;
  }
  env.SleepFor(std::chrono::milliseconds(100));
  return ReadOnce(path, request, env, cancelled, options);
}

std::vector<std::shared_ptr<StoredTable>> ReadAccessFile(const std::string& path, const ReadRequest& request,
                                                         Env& env, const CancelCheck& cancelled,
                                                         const ReaderOptions& options) {
  return ReadAccessFileKept(path, request, env, cancelled, options).tables;
}

namespace {

// The most columns a table can have; more flags are no request of Ask's.
constexpr uint64_t kMaxAskedColumns = 4096;

// Reads from `fd` a count and that many places, then a count and that many
// column flags, as Ask sends them; false when the sender closed its end
// before the first count (nothing was asked). Throws ProviderFailure when
// the request breaks off.
bool ReceivePlaces(int fd, std::vector<uint64_t>& places, std::vector<bool>& columns) {
  uint64_t count = 0;
  if (fs::ReadFull(fd, &count, sizeof count) != 0) return false;
  const ProviderFailure cut{kEFail, "The database reader was not told which rows to read.", {}};
  places.resize(count);
  if (fs::ReadFull(fd, places.data(), count * sizeof(uint64_t)) != 0) throw cut;
  if (fs::ReadFull(fd, &count, sizeof count) != 0 || count > kMaxAskedColumns) throw cut;
  std::string flags(count, '\0');
  if (fs::ReadFull(fd, flags.data(), flags.size()) != 0) throw cut;
  columns.assign(count, false);
  for (size_t i = 0; i < flags.size(); ++i) columns[i] = flags[i] != 0;
  return true;
}

}  // namespace

RowFetch::RowFetch(std::shared_ptr<const OpenAccessFile> file, std::string table, Env& env, CancelCheck cancelled,
                   const ReaderOptions& options) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    throw ProviderFailure{kEOutOfMemory, "Cannot start the database reader.", {}};
  const fs::UniqueFd from(ends[0]);
  ask_ = fs::UniqueFd(ends[1]);
  // A reader that does not take its places within its silence must not hold
  // up the caller for longer.
  const auto ms = options.silence.count();
  const timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  setsockopt(ask_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  // Filled in the child only.
  std::vector<uint64_t> places;
  std::vector<bool> columns;
  const ChildStart start = [ask = ask_.get(), in = from.get(), &places, &columns] {
    close(ask);
    return ReceivePlaces(in, places, columns);
  };
  const ChildWork work = [&table, &places, &columns](MdbReader& reader, StreamWriter& out) {
    reader.ReadRowsAt(table, places, columns, out);
  };
  reader_ = std::make_unique<ReaderRun>(*file, start, work, env, std::move(cancelled), options.in_fetch_sandbox,
                                        options, false);
}

void RowFetch::Ask(const std::vector<uint64_t>& places, const std::vector<bool>& columns) {
  expected_ = places.size();
  asked_columns_ = columns;
  // Rows in the file's order go to the program as the reader reads them,
  // without a batch: with the default pipe the two would take turns
  // hundreds of times a second instead of working side by side.
  if (std::is_sorted(places.begin(), places.end())) reader_->GrowPipe();
  const uint64_t count = places.size();
  // send, not fs::WriteAll: a reader that is gone must not raise SIGPIPE.
  auto send_all = [this](const void* from, size_t size) {
    const auto* p = static_cast<const char*>(from);
    while (size > 0) {
      const ssize_t n = send(ask_.get(), p, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
  const uint64_t column_count = columns.size();
  const std::string flags(columns.begin(), columns.end());
  if (send_all(&count, sizeof count) && send_all(places.data(), count * sizeof(uint64_t)) &&
      send_all(&column_count, sizeof column_count))
    send_all(flags.data(), flags.size());
  ask_.Reset();
}

RowFetch::~RowFetch() = default;

const char* RowFetch::Next() {
  StreamReader& stream = reader_->stream();
  bool waiting = false;
  for (;;) {
    if (StoredTable* t = stream.latest()) {
      if (columns_.empty()) {
        if (!asked_columns_.empty() && asked_columns_.size() != t->columns.size())
          throw reader_->Unreadable("its reader sent other columns than were asked for.");
        for (size_t i = 0; i < t->columns.size(); ++i)
          if (t->columns[i].loaded != (asked_columns_.empty() || asked_columns_[i]) || !t->places.empty())
            throw reader_->Unreadable("its reader sent other parts of a row than were asked for.");
        columns_ = t->columns;
      }
      if (served_ < t->rows()) {
        if (++total_ > expected_) throw reader_->Unreadable("its reader sent other rows than were asked for.");
        return t->RowStart(served_++);
      }
      // Every row received has been handed out; make room for the next.
      t->ClearRows();
      served_ = 0;
    }
    if (stream.finished()) reader_->ThrowEnd();
    if (!waiting) reader_->StartWaiting();
    waiting = true;
    if (!reader_->Receive()) reader_->ThrowEnd();
  }
}

}  // namespace tavrin::ado::access
