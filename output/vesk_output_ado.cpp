#include "output/vesk_output_ado.h"

#include <algorithm>
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

template <size_t N>
std::array<const VeskOrgColumn*, N> ColumnsNamed(const std::array<std::string_view, N>& names) {
  std::array<const VeskOrgColumn*, N> columns{};
  for (size_t i = 0; i < N; ++i) {
    columns[i] = &*std::find_if(kVeskOrgColumns.begin(), kVeskOrgColumns.end(),
                                [&](const VeskOrgColumn& c) { return c.name == names[i]; });
  }
  return columns;
}

// The INSERT lists its columns in an order of its own, county included.
const std::array<const VeskOrgColumn*, 9> kInsertTextColumns =
    ColumnsNamed<9>({"event_notes", "status", "organization_name", "town_city", "county", "category",
                     "city", "state", "zip_code"});

}  // namespace

const std::array<const VeskOrgColumn*, 9>& PublishedTextColumns() {
  static const std::array<const VeskOrgColumn*, 9> columns =
      ColumnsNamed<9>({"event_notes", "status", "organization_name", "town_city", "county",
                       "category", "zip_code", "city", "state"});
  return columns;
}

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
  size_t texts = 0;
  for (const VeskOrgColumn* c : PublishedTextColumns()) texts += (org.*c->text).size();
  b.reserve(900 + 2 * texts);
  b += "SET QUOTED_IDENTIFIER OFF\nIF EXISTS (SELECT * FROM vesk_org WHERE org_id = ";
  b += id;
  b += ")\nBEGIN\nUPDATE vesk_org\n";
  for (const VeskOrgColumn* c : PublishedTextColumns()) {
    b += c == PublishedTextColumns().front() ? "SET " : ", ";
    b += c->name;
    b += " = \"";
    b += org.*c->text;
    b += '"';
  }
  b += ",event_kill_date = " + kill + ",event_update_time = " + update + "\nWHERE org_id = " + id +
       "\nEND\nELSE BEGIN\n";
  static const std::string insert = [] {
    std::string text = "INSERT INTO vesk_org (org_id, ";
    for (const VeskOrgColumn* c : kInsertTextColumns) text += std::string(c->name) + ", ";
    return text + "event_kill_date, event_update_time) VALUES (";
  }();
  b += insert;
  b += id;
  for (const VeskOrgColumn* c : kInsertTextColumns) {
    b += ", \"";
    b += org.*c->text;
    b += '"';
  }
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
