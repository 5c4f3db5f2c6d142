#include "output/vesk_output_ado.h"

#include <ctime>
#include <memory>
#include <optional>

#include "platform/ado/oledate.h"
#include "platform/text/ascii.h"

namespace tavrin {
namespace {

// A date as the batch writes it: valid dates month first between double
// quotes, anything else NULL.
std::string DateValue(const COleDateTime& date) {
  if (date.status != COleDateTime::valid) return "NULL";
  const std::optional<std::tm> fields = OleDateToTm(date.value);
  if (!fields) return "NULL";
  char text[32];
  std::strftime(text, sizeof text, "\"%m/%d/%Y %H:%M\"", &*fields);
  return text;
}

}  // namespace

std::string CreateOrgTableBatch() {
  std::string batch =
      "IF NOT EXISTS (SELECT * from dbo.sysobjects where id = object_id('vesk_org') and "
      "OBJECTPROPERTY(id, 'IsUserTable') = 1)\n"
      "CREATE TABLE [vesk_org]\n"
      "(org_id INTEGER NOT NULL,";
  for (size_t i = 1; i < kVeskOrgColumns.size(); ++i) {
    const VeskOrgColumn& c = kVeskOrgColumns[i];
    std::string type =
        c.kind == VeskOrgColumn::kDate ? "DATETIME" : "CHAR(" + std::to_string(c.width) + ")";
    // The last column has its type in small letters and a line end instead
    // of a comma, as the table was always created.
    const bool last = i + 1 == kVeskOrgColumns.size();
    batch += std::string(c.name) + " " + (last ? text::AsciiLowered(type) + "\n" : type + ",");
  }
  return batch + "CONSTRAINT veskOrgKey PRIMARY KEY(org_id))";
}

std::string PublishOrgBatch(const tagORG_INFO& org) {
  const std::string id = std::to_string(org.nRecordNumber);
  const std::string kill = DateValue(org.dtEventKillDate);
  const std::string update = DateValue(org.dtEventUpdateTime);
  // Built by appending: one batch per record, each sent at once.
  std::string b;
  b.reserve(900 + 2 * (org.strEventNotes.size() + org.strStatus.size() +
                       org.strOrganizationName.size() + org.strTownCity.size() +
                       org.strCounty.size() + org.strCategory.size() + org.strZipCode.size() +
                       org.strCity.size() + org.strState.size()));
  const auto text = [&b](const char* before, const std::string& value) {
    b += before;
    b += '"';
    b += value;
    b += '"';
  };
  b += "SET QUOTED_IDENTIFIER OFF\nIF EXISTS (SELECT * FROM vesk_org WHERE org_id = ";
  b += id;
  b += ")\nBEGIN\nUPDATE vesk_org\n";
  text("SET event_notes = ", org.strEventNotes);
  text(", status = ", org.strStatus);
  text(", organization_name = ", org.strOrganizationName);
  text(", town_city = ", org.strTownCity);
  text(", county = ", org.strCounty);
  text(", category = ", org.strCategory);
  text(", zip_code = ", org.strZipCode);
  text(", city = ", org.strCity);
  text(", state = ", org.strState);
  b += ",event_kill_date = " + kill + ",event_update_time = " + update + "\nWHERE org_id = " + id +
       "\nEND\nELSE BEGIN\n";
  // The INSERT lists its columns in an order of its own, county included.
  b += "INSERT INTO vesk_org (org_id, event_notes, status, organization_name, town_city, county, "
       "category, city, state, zip_code, event_kill_date, event_update_time) VALUES (";
  b += id;
  text(", ", org.strEventNotes);
  text(", ", org.strStatus);
  text(", ", org.strOrganizationName);
  text(", ", org.strTownCity);
  text(", ", org.strCounty);
  text(", ", org.strCategory);
  text(", ", org.strCity);
  text(", ", org.strState);
  text(", ", org.strZipCode);
  b += ", " + kill + ", " + update + ")\nEND\nSET QUOTED_IDENTIFIER ON\n";
  return b;
}

void RunBatch(const ado::ConnectionPtr& connection, std::string text) {
  const auto command = std::make_shared<ado::Command>();
  command->SetActiveConnection(connection);
  command->SetCommandText(std::move(text));
  command->Execute(ado::adCmdText);
}

void CVeskOutputADO::CreateOrgTable() {
  try {
    RunBatch(m_pConnection, CreateOrgTableBatch());
  } catch (const _com_error& e) {
    ReportError(e);
  }
}

bool CVeskOutputADO::PublishOrg(const tagORG_INFO& org) {
  try {
    RunBatch(m_pConnection, PublishOrgBatch(org));
    return true;
  } catch (const _com_error& e) {
    ReportError(e);
    return false;
  }
}

}  // namespace tavrin
