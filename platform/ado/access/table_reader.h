#ifndef TAVRIN_PLATFORM_ADO_ACCESS_TABLE_READER_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_TABLE_READER_H_

// Reading an Access file with libmdb, after the checks of file_check.h. This
// is the code that parses untrusted bytes: the program runs it in a
// sandboxed child process (reader_process.h), a fuzzer in its own.
//
// Damage is reported, never hidden: a table that yields fewer rows than its
// definition counts, a value that points outside the file, or any warning
// libmdb prints is a failure; libmdb's warnings become its entries.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/access/file_check.h"
#include "platform/ado/access/output_capture.h"
#include "platform/ado/access/stored_table.h"

namespace tavrin::ado::access {

// Where a table goes as it is read: its name and columns, each row in the
// cell format of RowBuilder (a cell per loaded column), then the number of
// rows. When `placed`, each row comes with its place in the file (as
// StoredTable::places holds it).
class TableSink {
 public:
  virtual ~TableSink() = default;
  virtual void BeginTable(const std::string& name, const std::vector<ColumnInfo>& columns, bool placed) = 0;
  virtual void Row(std::string_view cells, uint64_t place) = 0;
  virtual void EndTable(uint64_t rows) = 0;
  // Writes every row still waiting; then, when `hold`, the rows given until
  // the next call or EndTable may wait in the sink while the reader reads
  // on. A sink that writes at once ignores it.
  virtual void HoldRows([[maybe_unused]] bool hold) {}
  // Writes what it can of the rows waiting without waiting itself.
  virtual void Pump() {}
};

// What ReadTable takes of a table.
struct TableReading {
  bool rows = true;  // false: its columns only
  // When set, only these columns' values are sent (letter case ignored) and
  // each row comes with its place, so that ReadRowsAt can read it again.
  // Every column is still checked as a whole reading checks it.
  const std::vector<std::string>* keys = nullptr;
};

// libmdb over the image of an Access file in memory. Used by one thread, in
// a process whose standard streams `capture` holds.
class MdbReader {
 public:
  // Opens the `facts.size` bytes at `image` (which CheckFile accepted as
  // `facts`, and which must stay mapped and unchanged while the reader
  // lives); `path` names the file in messages. When `file_fd` is an open
  // descriptor of the file that `image` is a private read-only mapping of,
  // the reader gives back the pages it has read from time to time, so that
  // they do not all stay in memory, and reads the pages of rows it reads
  // again (ReadRowsAt) from the descriptor, which maps nothing. The reader
  // does not own the descriptor. Throws ProviderFailure.
  MdbReader(const unsigned char* image, const FileFacts& facts, std::string path,
            OutputCapture& capture, int file_fd = -1);
  ~MdbReader();
  MdbReader(const MdbReader&) = delete;
  MdbReader& operator=(const MdbReader&) = delete;

  // Reads the list of tables, so that a file that is not an Access file
  // fails here. Throws ProviderFailure (worth a retry: the file may have
  // been changing).
  void ReadCatalog();

  // Reads the table `name` (letter case ignored) after ReadCatalog: its
  // columns and, as `what` asks, its rows decoded (text as UTF-8, dates on
  // the linear day scale), into `sink`. Throws ProviderFailure.
  void ReadTable(const std::string& name, const TableReading& what, TableSink& sink);

  // Reads again the rows of table `name` that lie at `places` (from a
  // reading with keys), in that order, into `sink`: the values of the
  // columns that `columns` marks (a flag per column of the table; empty:
  // every column), the others not read at all. Rows in another order than
  // the file's are read a batch at a time, and each batch is held in `sink`
  // (TableSink::HoldRows) while the next is read. A place that holds no row
  // of the table is damage. Throws ProviderFailure.
  void ReadRowsAt(const std::string& name, const std::vector<uint64_t>& places, const std::vector<bool>& columns,
                  TableSink& sink);

 private:
  // The table's definition, checked, and its columns read.
  struct Definition;
  Definition Find(const std::string& name);
  // Lets the kernel take back the pages of the image read so far: they are
  // read again from the file when they are needed again.
  void ReleasePages() const;

  const unsigned char* image_;
  int file_fd_;
  FileFacts facts_;
  std::string path_;
  OutputCapture& capture_;
  struct Handle;  // libmdb's, closed with the reader
  std::unique_ptr<Handle> mdb_;
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_TABLE_READER_H_
