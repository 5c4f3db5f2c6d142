#ifndef TAVRIN_DATA_ORG_INFO_H_
#define TAVRIN_DATA_ORG_INFO_H_

#include <cstdint>
#include <string>

#include "platform/oledate.h"

namespace tavrin {

// One organization: a row of table Org. Copied by value.
struct tagORG_INFO {
  int32_t nRecordNumber = 0;
  std::string strStatus;
  std::string strEventNotes;
  std::string strIdCode;
  std::string strPinCode;
  std::string strOrganizationName;
  std::string strPermanentNotes;
  std::string strTownCity;
  std::string strCounty;
  std::string strCategory;
  std::string strWebAddress;
  std::string strContactName;
  std::string strStreetAddress1;
  std::string strStreetAddress2;
  std::string strZipCode;
  std::string strCity;
  std::string strState;
  std::string strDaytimePhone;
  std::string strEveningPhone;
  std::string strOtherPhone;
  std::string strFaxNumber;
  std::string strEmailAddress;
  COleDateTime dtEventKillDate;
  COleDateTime dtEventUpdateTime;
};
using ORG_INFO = tagORG_INFO;

// The source of the organization records a report walks. CVeskADO reads
// them from the database; tests script them.
class OrgReader {
 public:
  virtual ~OrgReader() = default;
  // The number of records of the open record set. May throw _com_error.
  virtual int32_t GetRecordCount() = 0;
  // Moves to the first record and reads it into `org`; false when the move
  // failed (only nRecordNumber, -1, is set then) or the set is before its start.
  virtual bool GetFirstOrg(tagORG_INFO& org) = 0;
  // Moves to the next record (staying on the last) and reads it into `org`;
  // false when the move failed.
  virtual bool GetNextOrg(tagORG_INFO& org) = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_DATA_ORG_INFO_H_
