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
#include <string>
#include <vector>

#include "platform/ado/access/stored_table.h"
#include "platform/ado/provider.h"
#include "platform/env/env.h"

namespace tavrin::ado::access {

// What one reading takes from the file.
struct ReadRequest {
  std::vector<std::string> tables;  // none: only the list of tables is read
  bool rows = true;                 // false: the tables' columns only
};

struct ReaderOptions {
  // The longest the reader may go without sending anything.
  std::chrono::milliseconds silence{15000};
  // For tests of the isolation, run in the child: before it enters the
  // sandbox, and in the sandbox (given the pipe) before it reads the file.
  std::function<void()> before_sandbox;
  std::function<void(int out_fd)> in_sandbox;
};

// Reads what `request` asks of the Access file at `path` and returns its
// tables in the request's order (letter case of the names ignored). Throws
// ProviderFailure: the file's own problems as file_check.h and
// table_reader.h describe them; a reader that died, hung, exceeded its
// limits or broke the stream as a damaged file; kEAbort soon after
// `cancelled` (asked every 100 ms or so) turns true. A failure that a file
// being saved by its editor explains is tried once more after a pause. The
// deadline and the pause are measured on `env`'s clock. Forks: one call per
// thread at a time.
std::vector<std::shared_ptr<StoredTable>> ReadAccessFile(const std::string& path, const ReadRequest& request,
                                                         Env& env, const CancelCheck& cancelled,
                                                         const ReaderOptions& options = {});

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_READER_PROCESS_H_
