// The Access file check and reader over a file image in memory, as the
// reader's child runs them: the header check, the catalog, then tables Org
// and Other whole, by their columns, and in part with their rows read again
// (whole and in part).
// Every row the reader delivers must be well formed and the count it ends a
// table with must be true.

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_env.h"
#include "platform/ado/access/failure.h"
#include "platform/ado/access/file_check.h"
#include "platform/ado/access/output_capture.h"
#include "platform/ado/access/table_reader.h"
#include "platform/fs/fd.h"

namespace {

using namespace tavrin::ado::access;

class CheckingSink : public TableSink {
 public:
  void BeginTable(const std::string&, const std::vector<ColumnInfo>& columns, bool) override {
    columns_ = 0;
    for (const ColumnInfo& c : columns) columns_ += c.loaded;
    table_columns_ = columns.size();
    rows_ = 0;
  }
  void Row(std::string_view cells, uint64_t place) override {
    if (StoredTable::RowLength(cells, columns_) != cells.size()) std::abort();
    places_.push_back(place);
    ++rows_;
  }
  void EndTable(uint64_t rows) override {
    if (rows != rows_) std::abort();
  }

 private:
  size_t columns_ = 0;
  uint64_t rows_ = 0;

 public:
  std::vector<uint64_t> places_;
  size_t table_columns_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavrin::fs::UniqueFd fd(memfd_create("fuzz.mdb", MFD_CLOEXEC));
  if (tavrin::fs::WriteAll(fd.get(), tavrin::fuzz::Text(data, size)) != 0) return 0;
  try {
    const FileFacts facts = CheckFile(fd.get(), "fuzz.mdb");
    OutputCapture capture;
    MdbReader reader(data, facts, "fuzz.mdb", capture);
    reader.ReadCatalog();
    CheckingSink sink;
    const std::vector<std::string> keys = {"Status", "Organization Name"};
    for (const char* name : {"Org", "Other"}) {
      for (const TableReading what : {TableReading{true}, TableReading{false}, TableReading{true, &keys}}) {
        sink.places_.clear();
        try {
          reader.ReadTable(name, what, sink);
          // The rows of a reading in part, read again last first, whole and
          // with every other column.
          if (what.keys) {
            std::vector<uint64_t> places(sink.places_.rbegin(), sink.places_.rend());
            std::vector<bool> some(sink.table_columns_, false);
            for (size_t c = 0; c < some.size(); c += 2) some[c] = true;
            reader.ReadRowsAt(name, places, {}, sink);
            reader.ReadRowsAt(name, places, some, sink);
          }
        } catch (const ProviderFailure&) {
        }
      }
    }
  } catch (const ProviderFailure&) {
  }
  return 0;
}
