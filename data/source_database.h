#ifndef TAVRIN_DATA_SOURCE_DATABASE_H_
#define TAVRIN_DATA_SOURCE_DATABASE_H_

#include <string>
#include <vector>

#include "config/report_definition.h"
#include "data/vesk_ado.h"
#include "platform/ado/ado.h"
#include "platform/ado/provider.h"
#include "platform/fs/file_system.h"
#include "run/run_host.h"

namespace tavrin {

// The closing step of a run's database: the status "Attempting to close:
// PATH", then "Database closed successfully"; when the close fails, the
// failure is recorded, the "COM Error" box shown and the status set to
// "Database close FAILURE!". True when it closed.
bool CloseConnectionStep(RunHost& host, const ado::ConnectionPtr& connection,
                         const std::string& path);

// The source database of a run: opening the Access file the report names,
// selecting and sorting its organizations, and closing it again. Used by the
// run thread only.
class CSourceDatabase {
 public:
  // `definition`, `host`, `providers` (which open the connection) and
  // `files` (which looks at the path first) must outlive the object.
  CSourceDatabase(const CReportDefinition& definition, RunHost& host,
                  ado::ProviderFactory& providers, FileSystem& files)
      : m_OrgDB(host), definition_(definition), host_(host), providers_(providers), files_(files) {}

  // Opens m_strDataPath. True at once when already open. On failure records
  // it, shows the "COM Error" box and sets the status "Database open FAILURE!";
  // a path that is not a regular file, or a DataPath that cannot be used
  // here (then followed by its notice), fails so without being opened. A stop
  // request (host's StopRequested) ends the open early, silently.
  bool OpenDatabase();

  // Selects the report's organizations in its sort order. On a failed query
  // logs an error notice with the provider's reason (QueryFailureNotice),
  // then shows the self-closing message and returns false. Also false, after one
  // box naming it, when table Org lacks a column a record is read from. A
  // stop request ends the query early: false, silently. `columns_read`:
  // the columns of table Org whose values the report writes; the records'
  // other fields may be left unread and empty (none named: all are read).
  bool QueryOrganizations(const std::vector<std::string>& columns_read = {});

  // Closes the database when it is open; true when it was not open.
  bool CloseDatabase();

  // The connection string that opens the Access file at `data_path`.
  static std::string ConnectionString(const std::string& data_path);

  // The SQL text for a condition and a field list: every column of Org, the
  // condition unless it is "ALL" (any case), the sort fields joined by ",".
  static std::string BuildQuery(const std::string& where, const std::vector<FieldInfo>& fields);

  // The notice of query `sql` failed for `reason`: it names the key Where
  // and its value, or, when Where is "ALL", the first sorted field's key
  // ReportField<n>, since the sort fields were then all that was written
  // into the query.
  std::string QueryFailureNotice(const std::string& sql, const std::string& reason) const;

  // The columns of table Org that `present` (a result's column names) lacks,
  // each in double quotes, joined by ", "; empty when none is missing.
  static std::string MissingOrgColumns(const std::vector<std::string>& present);

  bool m_bDatabaseOpen = false;
  CVeskADO m_OrgDB;
  ado::ConnectionPtr m_pSourceConnection;

 private:
  bool CheckOrgColumns();

  const CReportDefinition& definition_;
  RunHost& host_;
  ado::ProviderFactory& providers_;
  FileSystem& files_;
};

}  // namespace tavrin

#endif  // TAVRIN_DATA_SOURCE_DATABASE_H_
