#include "output/output_database.h"

#include "data/cado.h"
#include "data/source_database.h"

namespace tavrin {

void COutputDatabase::NoticeWarnings() {
  for (const ado::ErrorEntry& e : m_pOutputConnection->Errors()) {
    if (e.warning && warned_.insert(e.description).second)
      host_.Notice("SQL Server connection: " + e.description);
  }
}

bool COutputDatabase::OpenOutputDatabase() {
  host_.SetStatus("Attempting to open: " + definition_.m_strDataPath);
  bool result = false;
  try {
    m_pOutputConnection = std::make_shared<ado::Connection>(providers_);
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
    host_.RecordFailure();
    ShowComError(host_, e);
    host_.SetStatus(
        "Database open FAILURE! If this error persists, contact your server admin. or Quenby "
        "Technical Support.");
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
