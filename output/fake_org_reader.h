#ifndef TAVRIN_OUTPUT_FAKE_ORG_READER_H_
#define TAVRIN_OUTPUT_FAKE_ORG_READER_H_

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "data/org_info.h"

namespace tavrin {

// Test double of OrgReader: serves a scripted list of records. The record
// count is the list's size unless `count` overrides it, and the read
// numbered `fail_read` (1 for the first) returns false, as one whose source
// changed when `changed` is set.
class FakeOrgReader : public OrgReader {
 public:
  FakeOrgReader() = default;
  explicit FakeOrgReader(std::vector<tagORG_INFO> rows) : records(std::move(rows)) {}

  std::vector<tagORG_INFO> records;
  std::optional<int32_t> count;
  int fail_read = 0;
  bool changed = false;
  int reads = 0;         // GetFirstOrg and GetNextOrg calls
  int count_calls = 0;   // GetRecordCount calls

  int32_t GetRecordCount() override {
    ++count_calls;
    return count ? *count : static_cast<int32_t>(records.size());
  }
  bool GetFirstOrg(tagORG_INFO& org) override {
    position_ = 0;
    return Read(org);
  }
  bool GetNextOrg(tagORG_INFO& org) override {
    if (position_ + 1 < records.size()) ++position_;  // stays on the last record
    return Read(org);
  }
  bool SourceChanged() const override { return changed && reads >= fail_read && fail_read > 0; }

 private:
  bool Read(tagORG_INFO& org) {
    ++reads;
    if (reads == fail_read || records.empty()) {
      org.nRecordNumber = -1;
      return false;
    }
    org = records[position_];
    return true;
  }

  size_t position_ = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_FAKE_ORG_READER_H_
