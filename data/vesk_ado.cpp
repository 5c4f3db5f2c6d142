#include "data/vesk_ado.h"

namespace tavrin {

CVeskADO::CVeskADO(RunHost& host) : CADO(host) {
  m_pRecordset = std::make_shared<ado::Recordset>();
}

void CVeskADO::ReadOrg(tagORG_INFO& org) {
  if (columns_.empty()) {
    for (const OrgColumn& column : kOrgColumns) columns_.push_back(FieldIndex(std::string(column.name)));
  }
  for (size_t i = 0; i < kOrgColumns.size(); ++i) {
    const OrgColumn& column = kOrgColumns[i];
    switch (column.kind) {
      case OrgColumn::kLong:
        org.*column.number = GetFieldLong(columns_[i]);
        break;
      case OrgColumn::kText:
      case OrgColumn::kMemo:
        GetFieldString(columns_[i], org.*column.text);
        break;
      case OrgColumn::kDate:
        GetFieldDate(columns_[i], org.*column.date);
        break;
    }
  }
}

bool CVeskADO::GetFirstOrg(tagORG_INFO& org) {
  org.nRecordNumber = -1;
  columns_.clear();
  const MoveResult moved = TryMoveFirst();
  if (moved == MoveResult::kFailed) return false;
  ReadOrg(org);
  return moved == MoveResult::kOnRecord;
}

bool CVeskADO::GetNextOrg(tagORG_INFO& org) {
  const MoveResult moved = TryMoveNext();
  ReadOrg(org);
  return moved != MoveResult::kFailed;
}

}  // namespace tavrin
