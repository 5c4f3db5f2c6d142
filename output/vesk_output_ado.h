#ifndef TAVRIN_OUTPUT_VESK_OUTPUT_ADO_H_
#define TAVRIN_OUTPUT_VESK_OUTPUT_ADO_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "data/cado.h"
#include "data/org_info.h"
#include "platform/ado/ado.h"

namespace tavrin {

// One column of table vesk_org on the server: its name, its type, its width
// in characters (CHAR columns) and the member of tagORG_INFO it holds.
struct VeskOrgColumn {
  enum Kind { kKey, kChar, kDate };
  std::string_view name;
  Kind kind;
  size_t width = 0;                          // kChar
  std::string tagORG_INFO::*text = nullptr;  // kChar
};

// The 24 columns, in the order in which the table is created.
inline constexpr std::array<VeskOrgColumn, 24> kVeskOrgColumns = {{
    {"org_id", VeskOrgColumn::kKey},
    {"status", VeskOrgColumn::kChar, 70, &tagORG_INFO::strStatus},
    {"event_notes", VeskOrgColumn::kChar, 60, &tagORG_INFO::strEventNotes},
    {"id_code", VeskOrgColumn::kChar, 10, &tagORG_INFO::strIdCode},
    {"pin_code", VeskOrgColumn::kChar, 10, &tagORG_INFO::strPinCode},
    {"organization_name", VeskOrgColumn::kChar, 30, &tagORG_INFO::strOrganizationName},
    {"event_kill_date", VeskOrgColumn::kDate},
    {"event_update_time", VeskOrgColumn::kDate},
    {"permanent_notes", VeskOrgColumn::kChar, 6000, &tagORG_INFO::strPermanentNotes},
    {"town_city", VeskOrgColumn::kChar, 30, &tagORG_INFO::strTownCity},
    {"county", VeskOrgColumn::kChar, 20, &tagORG_INFO::strCounty},
    {"category", VeskOrgColumn::kChar, 30, &tagORG_INFO::strCategory},
    {"web_address", VeskOrgColumn::kChar, 50, &tagORG_INFO::strWebAddress},
    {"contact_name", VeskOrgColumn::kChar, 30, &tagORG_INFO::strContactName},
    {"street_address_1", VeskOrgColumn::kChar, 50, &tagORG_INFO::strStreetAddress1},
    {"street_address_2", VeskOrgColumn::kChar, 50, &tagORG_INFO::strStreetAddress2},
    {"zip_code", VeskOrgColumn::kChar, 5, &tagORG_INFO::strZipCode},
    {"city", VeskOrgColumn::kChar, 30, &tagORG_INFO::strCity},
    {"state", VeskOrgColumn::kChar, 15, &tagORG_INFO::strState},
    {"daytime_phone", VeskOrgColumn::kChar, 14, &tagORG_INFO::strDaytimePhone},
    {"evening_phone", VeskOrgColumn::kChar, 14, &tagORG_INFO::strEveningPhone},
    {"other_phone", VeskOrgColumn::kChar, 14, &tagORG_INFO::strOtherPhone},
    {"fax_number", VeskOrgColumn::kChar, 14, &tagORG_INFO::strFaxNumber},
    {"email_address", VeskOrgColumn::kChar, 50, &tagORG_INFO::strEmailAddress},
}};

// The batch that creates vesk_org when it does not exist.
std::string CreateOrgTableBatch();

// The upsert batch of `org`: texts whole between double quotes (they hold
// none of their own), valid dates as "%m/%d/%Y %H:%M", NULL for the others.
std::string PublishOrgBatch(const tagORG_INFO& org);

// The text columns the upsert batch writes, in the order of its UPDATE.
const std::array<const VeskOrgColumn*, 9>& PublishedTextColumns();

// Runs `text` as one batch through a new Command on `connection`. Throws
// _com_error.
void RunBatch(const ado::ConnectionPtr& connection, std::string text);

// The wrapper over table vesk_org of the output database. Adds no data to
// CADO. Used by the run thread only.
class CVeskOutputADO : public CADO {
 public:
  using CADO::CADO;

  // Creates vesk_org unless it exists. A failure shows the error boxes.
  void CreateOrgTable();
  // Upserts `org`; false after the error boxes when the batch failed.
  bool PublishOrg(const tagORG_INFO& org);
  // True when the bound connection has lost its server.
  bool ConnectionDead() const { return m_pConnection && m_pConnection->IsConnectionDead(); }
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_VESK_OUTPUT_ADO_H_
