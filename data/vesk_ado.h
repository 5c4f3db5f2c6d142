#ifndef TAVRIN_DATA_VESK_ADO_H_
#define TAVRIN_DATA_VESK_ADO_H_

#include "data/cado.h"
#include "data/org_info.h"

namespace tavrin {

// The reader of table Org: one row at a time into an organization record.
class CVeskADO : public CADO, public OrgReader {
 public:
  // Creates the record set that OpenRecordset opens.
  explicit CVeskADO(RunHost& host);
  virtual ~CVeskADO() = default;

  int32_t GetRecordCount() override { return CADO::GetRecordCount(); }
  bool GetFirstOrg(tagORG_INFO& org) override;
  bool GetNextOrg(tagORG_INFO& org) override;

 private:
  // Reads every column of kOrgColumns, in its order, into `org`.
  void ReadOrg(tagORG_INFO& org);
};

}  // namespace tavrin

#endif  // TAVRIN_DATA_VESK_ADO_H_
