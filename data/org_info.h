#ifndef TAVRIN_DATA_ORG_INFO_H_
#define TAVRIN_DATA_ORG_INFO_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ado/oledate.h"

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

// The one description of table Org: each column's name, the kind of its
// values, the member of tagORG_INFO it is read into, and the names that
// report fields ("ReportField%d") give it.
struct OrgColumn {
  enum Kind { kLong, kText, kMemo, kDate };
  std::string_view name;  // as the table names it
  Kind kind;
  // Exactly one of the three is set, by kind.
  int32_t tagORG_INFO::*number = nullptr;
  std::string tagORG_INFO::*text = nullptr;  // kText and kMemo
  COleDateTime tagORG_INFO::*date = nullptr;
  // The report field names, lower case; empty for a column that no report
  // field names. `field_alias` is a second name of the same field.
  std::string_view field_name = {};
  std::string_view field_alias = {};
};

// The 24 columns, in the order a record is read from a row.
inline constexpr std::array<OrgColumn, 24> kOrgColumns = {{
    {"Record Number", OrgColumn::kLong, &tagORG_INFO::nRecordNumber},
    {"Event Notes", OrgColumn::kText, nullptr, &tagORG_INFO::strEventNotes, nullptr, "event notes"},
    {"Status", OrgColumn::kText, nullptr, &tagORG_INFO::strStatus, nullptr, "status"},
    {"ID Code", OrgColumn::kText, nullptr, &tagORG_INFO::strIdCode, nullptr, "id code"},
    // "pin dode" is the historical spelling that existing INI files hold.
    {"Pin Code", OrgColumn::kText, nullptr, &tagORG_INFO::strPinCode, nullptr, "pin code", "pin dode"},
    {"Organization Name", OrgColumn::kText, nullptr, &tagORG_INFO::strOrganizationName, nullptr,
     "organization name"},
    {"Permanent Notes", OrgColumn::kMemo, nullptr, &tagORG_INFO::strPermanentNotes, nullptr,
     "permanent notes"},
    {"Town\\City", OrgColumn::kText, nullptr, &tagORG_INFO::strTownCity, nullptr, "town\\city"},
    {"County", OrgColumn::kText, nullptr, &tagORG_INFO::strCounty, nullptr, "county"},
    {"Web Address", OrgColumn::kText, nullptr, &tagORG_INFO::strWebAddress, nullptr, "web address"},
    {"Category", OrgColumn::kText, nullptr, &tagORG_INFO::strCategory, nullptr, "category"},
    {"Contact Name", OrgColumn::kText, nullptr, &tagORG_INFO::strContactName, nullptr, "contact name"},
    {"Street Address 1", OrgColumn::kText, nullptr, &tagORG_INFO::strStreetAddress1, nullptr,
     "street address 1"},
    {"Street Address 2", OrgColumn::kText, nullptr, &tagORG_INFO::strStreetAddress2, nullptr,
     "street address 2"},
    {"Zip Code", OrgColumn::kText, nullptr, &tagORG_INFO::strZipCode, nullptr, "zip code"},
    {"City", OrgColumn::kText, nullptr, &tagORG_INFO::strCity, nullptr, "city"},
    {"State", OrgColumn::kText, nullptr, &tagORG_INFO::strState, nullptr, "state"},
    {"Daytime Phone", OrgColumn::kText, nullptr, &tagORG_INFO::strDaytimePhone, nullptr, "daytime phone"},
    {"Evening Phone", OrgColumn::kText, nullptr, &tagORG_INFO::strEveningPhone, nullptr, "evening phone"},
    {"Other Phone", OrgColumn::kText, nullptr, &tagORG_INFO::strOtherPhone, nullptr, "other phone"},
    {"E-mail Address", OrgColumn::kText, nullptr, &tagORG_INFO::strEmailAddress, nullptr,
     "e-mail address"},
    {"Fax Number", OrgColumn::kText, nullptr, &tagORG_INFO::strFaxNumber, nullptr, "fax number"},
    {"Event Kill Date", OrgColumn::kDate, nullptr, nullptr, &tagORG_INFO::dtEventKillDate,
     "event kill date"},
    {"Event Update Time", OrgColumn::kDate, nullptr, nullptr, &tagORG_INFO::dtEventUpdateTime,
     "event update time"},
}};

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
  // Whether the last move of the walk failed because the source changed
  // while the walk read it (it shows no box then: the caller says so). A
  // source that cannot change under its reader never did.
  virtual bool SourceChanged() const { return false; }
};

}  // namespace tavrin

#endif  // TAVRIN_DATA_ORG_INFO_H_
