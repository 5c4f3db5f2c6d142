#ifndef TAVRIN_PLATFORM_ADO_ACCESS_FETCHED_RESULT_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_FETCHED_RESULT_H_

// The result of a query over a table read in part: the query ran over the
// columns it names, and the rows it chose are read again from the file, one
// after another, as the cursor reaches them: whole, or only the columns its
// caller reads (LimitColumns) and those the query named. Only the current
// row is held, so a report over a large table needs little more memory than
// the columns its query sorts and selects by.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/access/reader_process.h"
#include "platform/ado/access/stored_table.h"
#include "platform/ado/provider.h"

namespace tavrin::ado::access {

// Used by one thread at a time.
class FetchedResult : public ResultSet {
 public:
  // `keys`: the table read in part, with each row's place; `order`: the
  // numbers of its rows that the result holds, in order. The first reading
  // is `ahead`'s when given (a RowFetch started ahead, not yet asked); the
  // readers it starts read `file` and stop when `cancelled` holds.
  FetchedResult(std::shared_ptr<const StoredTable> keys, std::shared_ptr<const OpenAccessFile> file,
                std::vector<uint32_t> order, std::unique_ptr<RowFetch> ahead, Env& env, CancelCheck cancelled,
                ReaderOptions options);
  ~FetchedResult() override;

  int64_t RowCount() const override { return static_cast<int64_t>(order_.size()); }
  const std::vector<std::string>& Columns() const override { return names_; }
  // Rows read forward cost one reading each; a row before the current one
  // starts the reading again from there. Value and ReadRow throw _com_error
  // when the row cannot be read (Fetch says why).
  Variant Value(int64_t row, int column) override;
  void ReadRow(int64_t row, std::vector<CellView>& cells) override;
  // Reads row `row`. A row that is not the same as the reading in part saw
  // it is damage; when the file was written since the reading in part, that
  // row, and the last row of the result even when it is the same, fail with
  // kDbConcurrencyViolation instead: the rows read are not all of the
  // version that the query chose them from.
  void Fetch(int64_t row, std::vector<ErrorEntry>* errors) override;
  // The rows are read again with the columns `read` marks and those the
  // query named (which tell whether a row is still the one it chose); the
  // others give Null. Only before the first Fetch; later calls are ignored.
  void LimitColumns(const std::vector<bool>& read) override;

 private:
  // The cells of row `row`, read if need be. Throws ProviderFailure.
  const char* Row(int64_t row);
  void Check(uint32_t number, const char* cells);

  std::shared_ptr<const StoredTable> keys_;
  std::shared_ptr<const OpenAccessFile> file_;
  std::vector<uint32_t> order_;
  std::unique_ptr<RowFetch> ahead_;
  Env& env_;
  CancelCheck cancelled_;
  ReaderOptions options_;
  std::vector<std::string> names_;
  std::vector<bool> read_;  // the columns read again; empty: all
  std::unique_ptr<RowFetch> fetch_;
  int64_t fetched_ = -1;  // the row the fetch gave last
  bool columns_checked_ = false;  // the fetch's columns are the keys'
  int64_t current_ = -1;  // the row held in cells_
  std::string cells_;
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_FETCHED_RESULT_H_
