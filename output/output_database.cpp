#include "output/output_database.h"

#include "data/cado.h"
#include "data/source_database.h"
#include "platform/text/ascii.h"

namespace tavrin {

std::string SqlServerTarget(const std::string& connection_string) {
  std::string server, port, database;
  for (const auto& [key, value] : ado::ParseConnectionString(connection_string)) {
    if (key == "data source" || key == "server" || key == "address" || key == "addr" ||
        key == "network address") {
      if (server.empty()) server = value;
    } else if (key == "port") {
      port = value;
    } else if (key == "initial catalog" || key == "database") {
      database = value;
    }
  }
  if (text::StartsWithIgnoreAsciiCase(server, "tcp:")) server.erase(0, 4);
  std::string instance;
  if (const size_t comma = server.find(','); comma != std::string::npos) {
    port = std::string(text::Trim(std::string_view(server).substr(comma + 1)));
    server.erase(comma);
  } else if (const size_t slash = server.find('\\'); slash != std::string::npos) {
    instance = server.substr(slash + 1);
    server.erase(slash);
  }
  std::string target = "server " + (server.empty() ? std::string("(none named)") : server);
  if (!instance.empty()) {
    target += ", instance " + instance;
  } else {
    target += ", port " + (port.empty() ? std::string("1433") : port);
  }
  return target + ", " + (database.empty() ? "the login's default database" : "database " + database);
}

void COutputDatabase::NoticeWarnings() {
  for (const ado::ErrorEntry& e : m_pOutputConnection->Errors()) {
    if (e.warning && warned_.insert(e.description).second)
      host_.Notice("SQL Server connection: " + e.description, Severity::kWarning);
  }
}

bool COutputDatabase::OpenOutputDatabase() {
  host_.SetStatus("Attempting to open: " + definition_.m_strDataPath);
  const std::string& connection_string = definition_.m_strDestinationDBConnectString;
  bool result = false;
  try {
    m_pOutputConnection = std::make_shared<ado::Connection>(providers_);
    m_pOutputConnection->SetStopToken(host_.StopToken());
    try {
      m_pOutputConnection->Open(definition_.m_strDestinationDBConnectString, "", "",
                                ado::adCmdUnspecified);
    } catch (const _com_error&) {
      NoticeWarnings();
      throw;
    }
    NoticeWarnings();
    try {
      RunBatch(m_pOutputConnection, "SET DATEFORMAT mdy");
    } catch (const _com_error&) {
      // Dates would be read in the login's own order: publish nothing.
      try {
        m_pOutputConnection->Close();
      } catch (const _com_error&) {
      }
      throw;
    }
    host_.SetStatus("Output Database open successfully");
    m_bOutputDatabaseOpen = true;
    result = true;
  } catch (const _com_error& e) {
    // A stop that cut the open short is not a failure; nothing is sent.
    if (e.Error() != kEAbort || !host_.StopRequested()) {
      ShowComError(host_, e);
      host_.SetFailureStatus(
          "Database open FAILURE! If this error persists, contact your server admin. or Quenby "
          "Technical Support.");
      host_.Notice(definition_.KeyNotice("DestinationDBConnectString",
                                         mask_ ? mask_(connection_string) : "(not shown)",
                                         "cannot be opened (" + SqlServerTarget(connection_string) +
                                             "): " + ProviderReason(m_pOutputConnection, &e)),
                   Severity::kError);
    }
  }
  m_OutputDB.SetConnection(m_pOutputConnection);
  // Without a connection every batch would fail in turn, one box each.
  if (result) {
    m_OutputDB.CreateOrgTable();
    if (!m_OutputDB.ConnectionDead()) m_OutputDB.OpenTable();
  }
  return result;
}

bool COutputDatabase::CloseOutputDatabase() {
  if (!m_bOutputDatabaseOpen) return true;
  const bool result = CloseConnectionStep(host_, m_pOutputConnection, definition_.m_strDataPath);
  m_OutputDB.SetConnection(nullptr);
  m_bOutputDatabaseOpen = false;
  return result;
}

}  // namespace tavrin
