#ifndef TAVRIN_DATA_VESK_ADO_H_
#define TAVRIN_DATA_VESK_ADO_H_

#include <vector>

#include "data/cado.h"
#include "data/org_info.h"

namespace tavrin {

// The reader of table Org: one row at a time into an organization record.
// The fields of the record set are found by name once per walk, at
// GetFirstOrg: a walk reads one record set from its start.
class CVeskADO : public CADO, public OrgReader {
 public:
  // Creates the record set that OpenRecordset opens.
  explicit CVeskADO(RunHost& host);
  virtual ~CVeskADO() = default;

  int32_t GetRecordCount() override { return CADO::GetRecordCount(); }
  bool GetFirstOrg(tagORG_INFO& org) override;
  bool GetNextOrg(tagORG_INFO& org) override;
  bool SourceChanged() const override { return CADO::SourceChanged(); }

 private:
  // Reads every column of kOrgColumns, in its order, into `org`, by the
  // indexes that GetFirstOrg found (a missing column fails each read).
  void ReadOrg(tagORG_INFO& org);

  // The index of each of kOrgColumns in the record set; empty until the
  // first GetFirstOrg (or GetNextOrg) of a walk finds them.
  std::vector<int> columns_;
};

}  // namespace tavrin

#endif  // TAVRIN_DATA_VESK_ADO_H_
