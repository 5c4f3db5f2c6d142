#include "data/vesk_ado.h"

namespace tavrin {

CVeskADO::CVeskADO(RunHost& host) : CADO(host) {
  m_pRecordset = std::make_shared<ado::Recordset>();
}

const std::vector<std::string>& CVeskADO::OrgColumnNames() {
  static const std::vector<std::string> names = {
      "Record Number", "Event Notes", "Status", "ID Code", "Pin Code", "Organization Name",
      "Permanent Notes", "Town\\City", "County", "Web Address", "Category", "Contact Name",
      "Street Address 1", "Street Address 2", "Zip Code", "City", "State", "Daytime Phone",
      "Evening Phone", "Other Phone", "E-mail Address", "Fax Number", "Event Kill Date",
      "Event Update Time"};
  return names;
}

void CVeskADO::ReadOrg(tagORG_INFO& org) {
  org.nRecordNumber = GetFieldLong("Record Number");
  GetFieldString("Event Notes", org.strEventNotes);
  GetFieldString("Status", org.strStatus);
  GetFieldString("ID Code", org.strIdCode);
  GetFieldString("Pin Code", org.strPinCode);
  GetFieldString("Organization Name", org.strOrganizationName);
  GetFieldString("Permanent Notes", org.strPermanentNotes);
  GetFieldString("Town\\City", org.strTownCity);
  GetFieldString("County", org.strCounty);
  GetFieldString("Web Address", org.strWebAddress);
  GetFieldString("Category", org.strCategory);
  GetFieldString("Contact Name", org.strContactName);
  GetFieldString("Street Address 1", org.strStreetAddress1);
  GetFieldString("Street Address 2", org.strStreetAddress2);
  GetFieldString("Zip Code", org.strZipCode);
  GetFieldString("City", org.strCity);
  GetFieldString("State", org.strState);
  GetFieldString("Daytime Phone", org.strDaytimePhone);
  GetFieldString("Evening Phone", org.strEveningPhone);
  GetFieldString("Other Phone", org.strOtherPhone);
  GetFieldString("E-mail Address", org.strEmailAddress);
  GetFieldString("Fax Number", org.strFaxNumber);
  GetFieldDate("Event Kill Date", org.dtEventKillDate);
  GetFieldDate("Event Update Time", org.dtEventUpdateTime);
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
