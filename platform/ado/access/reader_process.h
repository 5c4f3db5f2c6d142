#ifndef TAVRIN_PLATFORM_ADO_ACCESS_READER_PROCESS_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_READER_PROCESS_H_

// Reading an Access file in a child process that can do nothing else.
//
// The program checks the file's header itself (file_check.h), then forks a
// reader that maps the file, opens it with libmdb (table_reader.h), enters
// the sandbox (sandbox.h) before it reads a page, and streams what it reads
// back over a pipe (row_stream.h). A reader that dies, stays silent past the
// deadline, or sends anything out of place is killed, and the file counts as
// damaged; libmdb never runs in the program's own process.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ado/access/file_check.h"
#include "platform/ado/access/stored_table.h"
#include "platform/ado/provider.h"
#include "platform/env/env.h"
#include "platform/fs/fd.h"
#include "platform/fs/file_stamp.h"

namespace tavrin::ado::access {

// What one reading takes from the file.
struct ReadRequest {
  std::vector<std::string> tables;  // none: only the list of tables is read
  bool rows = true;                 // false: the tables' columns only
  // When set, the first table is read in part: the values of these columns
  // only (letter case ignored), each row with its place in the file, every
  // column checked as a whole reading checks it (see TableReading).
  std::optional<std::vector<std::string>> keys = std::nullopt;
};

// An Access file as one reading opened and checked it: a later reading of
// its rows (RowFetch) reads the same file, even once its name leads to
// another. Immutable.
struct OpenAccessFile {
  fs::UniqueFd fd;
  FileFacts facts;
  std::string path;
  std::optional<fs::FileStamp> stamp;  // taken when opened, before any reading

  // Whether the file is still the version it was when opened: nothing was
  // written to it since (see file_stamp.h for what a stamp can tell).
  bool Unchanged() const { return fs::StampOf(fd.get()) == stamp; }
};

struct ReaderOptions {
  // The longest the reader may go without sending anything.
  std::chrono::milliseconds silence{15000};
  // For tests of the isolation, run in the child: before it enters the
  // sandbox, and in the sandbox (given the pipe) before it reads the file.
  std::function<void()> before_sandbox;
  std::function<void(int out_fd)> in_sandbox;
  // The same for the readers that RowFetch starts, instead of in_sandbox.
  std::function<void(int out_fd)> in_fetch_sandbox;
};

// Reads what `request` asks of the Access file at `path` and returns its
// tables in the request's order (letter case of the names ignored). Throws
// ProviderFailure: the file's own problems as file_check.h and
// table_reader.h describe them; a reader that died, hung, exceeded its
// limits or broke the stream as a damaged file; kEAbort soon after
// `cancelled` (asked every 100 ms or so) turns true; Changed when the file
// was written while it was read. A failure that a file being saved by its
// editor explains is tried once more after a pause. The
// deadline and the pause are measured on `env`'s clock. Forks: one call per
// thread at a time.
std::vector<std::shared_ptr<StoredTable>> ReadAccessFile(const std::string& path, const ReadRequest& request,
                                                         Env& env, const CancelCheck& cancelled,
                                                         const ReaderOptions& options = {});

class ReaderRun;

// Reads again the rows of table `table` of `file` that lie at places that a
// reading with keys gave, in the order given, handing them out as they
// arrive: a reader child streams them, so that only a few are held at a
// time. Forks; used by one thread at a time.
class RowFetch {
 public:
  // Starts the reader now, to read the rows that Ask names later: a forked
  // child begins with a copy of all its parent holds, so one started before
  // the caller holds the rows it chooses from stays small.
  RowFetch(std::shared_ptr<const OpenAccessFile> file, std::string table, Env& env, CancelCheck cancelled,
           const ReaderOptions& options);
  ~RowFetch();
  RowFetch(const RowFetch&) = delete;
  RowFetch& operator=(const RowFetch&) = delete;

  // Names the places of a reader started ahead, and the columns whose
  // values it reads (a flag per column of the table; empty: every column;
  // the others are not read at all): once, before Next. A reader that is
  // gone meanwhile fails the first Next, which says how it ended.
  void Ask(const std::vector<uint64_t>& places, const std::vector<bool>& columns = {});

  // The cells of the next row, one per column read (see
  // StoredTable::ReadCell), valid until the next call; the table's columns
  // as the reader sent them in `columns` (those read `loaded`), from the
  // first call on. Throws ProviderFailure as ReadAccessFile does, without a
  // retry, also when the rows or their columns are not the ones asked for.
  const char* Next();
  const std::vector<ColumnInfo>& columns() const { return columns_; }

 private:
  std::unique_ptr<ReaderRun> reader_;
  fs::UniqueFd ask_;  // where a reader started ahead waits for its places
  std::vector<ColumnInfo> columns_;
  std::vector<bool> asked_columns_;  // Ask's
  size_t served_ = 0;   // rows handed out of the stream's current table
  size_t total_ = 0;    // rows handed out in all
  size_t expected_ = 0;
};

// As ReadAccessFile for `request`, also returning the file it read, for
// reading rows of it again, and for a reading with keys a RowFetch started
// ahead on it (see there).
struct FileReading {
  std::vector<std::shared_ptr<StoredTable>> tables;
  std::shared_ptr<const OpenAccessFile> file;
  std::unique_ptr<RowFetch> fetch;
};
FileReading ReadAccessFileKept(const std::string& path, const ReadRequest& request, Env& env,
                               const CancelCheck& cancelled, const ReaderOptions& options = {});

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_READER_PROCESS_H_
