#ifndef TAVRIN_OUTPUT_OUTPUT_DATABASE_H_
#define TAVRIN_OUTPUT_OUTPUT_DATABASE_H_

#include <functional>
#include <set>
#include <string>

#include "config/report_definition.h"
#include "output/vesk_output_ado.h"
#include "platform/ado/ado.h"
#include "platform/ado/provider.h"
#include "run/run_host.h"

namespace tavrin {

// Where a SQL Server connection string leads, for the log: "server HOST,
// port N, database DB" (the port 1433 when none is named, an instance
// instead of a port when one is; "the login's default database" without
// one). Reads the OLE DB keywords (Data Source, Initial Catalog) and the
// ODBC ones (Server, Port, Database); never shows a password.
std::string SqlServerTarget(const std::string& connection_string);

// The output database of "SQLServer" reports: opening the connection that
// the report names and closing it again. The main dialog holds one for the
// program's life. Used by the run thread only.
class COutputDatabase {
 public:
  // `definition`, `host` and `providers` (which open the connection) must
  // outlive the object.
  COutputDatabase(const CReportDefinition& definition, RunHost& host, ado::ProviderFactory& providers)
      : m_OutputDB(host), definition_(definition), host_(host), providers_(providers) {}

  // Opens m_strDestinationDBConnectString in a new connection, sends "SET
  // DATEFORMAT mdy" (so that every login reads the month-first dates of the
  // batches alike), then creates vesk_org when missing and checks that it
  // opens. Status "Attempting to open: " with the source path, then
  // "Output Database open successfully". When the open fails: the failure is
  // recorded, the "COM Error" box shown, the status set to the open-failure
  // text, an error notice names DestinationDBConnectString (passwords
  // masked), where it leads (SqlServerTarget) and the provider's reason, and
  // nothing is sent. The connection's warnings become notices,
  // each once in the program's life. True when the connection opened.
  bool OpenOutputDatabase();

  // Closes the connection when it is open (true at once when not); either
  // way m_OutputDB is unbound and the connection counts as closed after it.
  bool CloseOutputDatabase();

  // How the connection string is shown in the log: `mask` returns it with
  // its passwords hidden (the program gives ado::MaskPasswords). Without a
  // mask the string is never shown, only where it leads.
  void SetPasswordMask(std::function<std::string(const std::string&)> mask) { mask_ = std::move(mask); }

  bool m_bOutputDatabaseOpen = false;
  CVeskOutputADO m_OutputDB;
  ado::ConnectionPtr m_pOutputConnection;

 private:
  void NoticeWarnings();

  const CReportDefinition& definition_;
  RunHost& host_;
  ado::ProviderFactory& providers_;
  std::set<std::string> warned_;
  std::function<std::string(const std::string&)> mask_;
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_OUTPUT_DATABASE_H_
