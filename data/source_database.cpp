#include "data/source_database.h"

#include <sys/stat.h>

#include "platform/fs/regular_file.h"
#include "platform/text/ascii.h"

namespace tavrin {

bool CSourceDatabase::OpenDatabase() {
  if (m_bDatabaseOpen) return true;
  host_.SetStatus("Attempting to open: " + definition_.m_strDataPath);
  bool result = false;
  try {
    m_pSourceConnection = std::make_shared<ado::Connection>(providers_);
    m_pSourceConnection->SetConnectionTimeout(30);
    m_pSourceConnection->SetCancelCheck([this] { return host_.StopRequested(); });
    // A path that cannot be used here, and a folder, FIFO or device, are
    // refused before anything opens them, in words that name the key to mend.
    if (const IniPath& key = definition_.m_DataPathKey; !key.usable())
      throw _com_error(kEFail, std::string(ado::kAdoConnectionSource),
                       "DataPath '" + key.value + "' is " + key.refusal + ".");
    struct stat st {};
    if (files_.Stat(definition_.m_strDataPath, &st) == 0 && !S_ISREG(st.st_mode))
      throw _com_error(kEFail, std::string(ado::kAdoConnectionSource),
                       "DataPath '" + definition_.m_strDataPath + "' is " + fs::FileTypeName(st.st_mode) +
                           ", not an Access database file.");
    m_pSourceConnection->Open(ConnectionString(definition_.m_strDataPath), "", "",
                              ado::adCmdUnspecified);
    host_.SetStatus("Database open successfully");
    m_bDatabaseOpen = true;
    result = true;
  } catch (const _com_error& e) {
    // A stop is not a failure: the run just ends.
    if (e.Error() != kEAbort || !host_.StopRequested()) {
      ShowComError(host_, e);
      host_.SetFailureStatus("Database open FAILURE!");
      const IniPath& key = definition_.m_DataPathKey;
      if (!key.usable())
        definition_.NoticeRefusal(host_, key);
      else
        host_.Notice(
            definition_.KeyNotice("DataPath", CReportDefinition::WrittenValue(key, definition_.m_strDataPath),
                                  "cannot be opened: " + ProviderReason(m_pSourceConnection, &e)),
            Severity::kError);
    }
  }
  m_OrgDB.SetConnection(m_pSourceConnection);
  return result;
}

std::string CSourceDatabase::ConnectionString(const std::string& data_path) {
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + data_path;
}

std::string CSourceDatabase::BuildQuery(const std::string& where,
                                        const std::vector<FieldInfo>& fields) {
  std::string sort;
  for (const auto& f : fields) {
    if (!f.bSort) continue;
    if (!sort.empty()) sort += ",";
    sort += f.strFieldName;
  }
  const bool all = text::EqualsIgnoreAsciiCase(where, "ALL");
  std::string sql = all ? "SELECT * FROM Org " : "SELECT * FROM Org WHERE " + where;
  if (!sort.empty()) {
    // "SELECT * FROM Org " already ends in its blank.
    sql += all ? "ORDER BY " + sort : " ORDER BY " + sort;
  }
  return sql;
}

std::string CSourceDatabase::MissingOrgColumns(const std::vector<std::string>& present) {
  std::string missing;
  for (const OrgColumn& column : kOrgColumns) {
    bool found = false;
    for (const auto& p : present) found = found || text::EqualsIgnoreAsciiCase(p, column.name);
    if (!found) missing += (missing.empty() ? "\"" : ", \"") + std::string(column.name) + "\"";
  }
  return missing;
}

bool CSourceDatabase::CheckOrgColumns() {
  std::vector<std::string> present;
  try {
    present = m_OrgDB.m_pRecordset->FieldNames();
  } catch (const _com_error& e) {
    host_.RecordFailure();
    ShowComError(host_, e);
    return false;
  }
  const std::string missing = MissingOrgColumns(present);
  if (missing.empty()) return true;
  host_.RecordFailure();
  // Reading a missing column would keep the previous row's value and write
  // one organization's data under another's name: refuse the report instead.
  host_.MessageBox("The table Org in " + definition_.m_strDataPath + " has no column " + missing +
                       ".\nThe report was not made.",
                   "", BoxStyle::kAppWarning);
  return false;
}

std::string CSourceDatabase::QueryFailureNotice(const std::string& sql, const std::string& reason) const {
  const std::string failed = "the query \"" + sql + "\" failed: " + reason;
  // Without a condition, only the sort fields were written into the query.
  if (text::EqualsIgnoreAsciiCase(definition_.m_strWhere, "ALL")) {
    for (const FieldInfo& field : definition_.m_FieldInfoArray) {
      if (field.bSort)
        return definition_.KeyNotice("ReportField" + std::to_string(field.nNumber), field.strFieldName,
                                     "sorted on, " + failed);
    }
  }
  return definition_.KeyNotice("Where", definition_.m_strWhere, failed);
}

bool CSourceDatabase::QueryOrganizations(const std::vector<std::string>& columns_read) {
  host_.SetStatus("Querying Data");
  const std::string sql = BuildQuery(definition_.m_strWhere, definition_.m_FieldInfoArray);
  m_OrgDB.m_pRecordset->SetFieldsRead(columns_read);
  if (!m_OrgDB.OpenRecordset(sql)) {
    // A query stopped on request is not a data access error.
    if (host_.StopRequested()) return false;
    host_.RecordFailure();
    // The window tells only that the query failed, and blames the database;
    // the log gets the provider's reason (an unknown column, a syntax error)
    // first, so that whoever watches it learns why without waiting.
    host_.Notice(QueryFailureNotice(sql, ProviderReason(m_pSourceConnection, nullptr)), Severity::kError);
    host_.ShowTimedMessage(
        "There was a data access error encountered\r\n"
        "while trying to open the Tavrin Database.\r\n"
        "This message will close automatically",
        5);
    return false;
  }
  return CheckOrgColumns();
}

bool CloseConnectionStep(RunHost& host, const ado::ConnectionPtr& connection,
                         const std::string& path) {
  host.SetStatus("Attempting to close: " + path);
  try {
    if (!connection) throw _com_error(kEPointer);
    connection->Close();
    host.SetStatus("Database closed successfully");
    return true;
  } catch (const _com_error& e) {
    ShowComError(host, e);
    host.SetFailureStatus("Database close FAILURE!");
    return false;
  }
}

bool CSourceDatabase::CloseDatabase() {
  if (!m_bDatabaseOpen) return true;
  const bool result = CloseConnectionStep(host_, m_pSourceConnection, definition_.m_strDataPath);
  m_OrgDB.SetConnection(nullptr);
  m_bDatabaseOpen = false;
  return result;
}

}  // namespace tavrin
