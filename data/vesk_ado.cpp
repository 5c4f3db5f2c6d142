#include "data/vesk_ado.h"

namespace tavrin {

CVeskADO::CVeskADO(RunHost& host) : CADO(host) {
  m_pRecordset = std::make_shared<ado::Recordset>();
}

void CVeskADO::ReadOrg(tagORG_INFO& org) {
  for (const OrgColumn& column : kOrgColumns) {
    const std::string name(column.name);
    switch (column.kind) {
      case OrgColumn::kLong:
        org.*column.number = GetFieldLong(name);
        break;
      case OrgColumn::kText:
      case OrgColumn::kMemo:
        GetFieldString(name, org.*column.text);
        break;
      case OrgColumn::kDate:
        GetFieldDate(name, org.*column.date);
        break;
    }
  }
}

bool CVeskADO::GetFirstOrg(tagORG_INFO& org) {
  org.nRecordNumber = -1;
  const std::string token = TryMoveFirst();
  if (token == "FAIL") return false;
  ReadOrg(org);
  return token == "PASS";
}

bool CVeskADO::GetNextOrg(tagORG_INFO& org) {
  const std::string token = TryMoveNext();
  ReadOrg(org);
  return token != "FAIL";
}

}  // namespace tavrin
