#ifndef TAVRIN_OUTPUT_SQLSERVER_OUTPUT_H_
#define TAVRIN_OUTPUT_SQLSERVER_OUTPUT_H_

#include <memory>
#include <string>

#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/output_database.h"
#include "output/report_output.h"
#include "run/run_host.h"

namespace tavrin {

// The publication to table vesk_org: one upsert batch per record, in query
// order. A text longer than its column is cut to the column's width (whole
// characters) so that the record is still published; one notice at the end
// counts the cut texts and names the first. A batch the server rejects
// shows its boxes and the next record follows; when the connection is lost
// the publication ends there. A stop ends it at once: the batch under way is
// cancelled (the connection's stop token), the rows published stay, and a
// notice says how many there were.
class SqlServerOutput : public ReportOutput {
 public:
  // Opens the output database. Null when it did not open (the failure has
  // been reported) or its connection was lost while the table was prepared.
  // `def` and `db` must outlive the output.
  static std::unique_ptr<SqlServerOutput> Open(const CReportDefinition& def, COutputDatabase& db,
                                               RunHost& host);

  SqlServerOutput(const CReportDefinition& def, COutputDatabase& db, RunHost& host)
      : def_(def), db_(db), host_(host) {}

  void WriteRecord(const tagORG_INFO& org) override;
  bool Failed() const override { return connection_lost_; }
  // A complete walk closes the record set and the database; otherwise the
  // run's closing step closes the database.
  void End(WalkEnd how) override;
  std::string Destination() const override {
    return "published to " + SqlServerTarget(def_.m_strDestinationDBConnectString);
  }

 private:
  const CReportDefinition& def_;
  COutputDatabase& db_;
  RunHost& host_;
  bool connection_lost_ = false;
  int published_ = 0;
  int cut_count_ = 0;
  std::string first_cut_;  // "record N, column NAME"
};

}  // namespace tavrin

#endif  // TAVRIN_OUTPUT_SQLSERVER_OUTPUT_H_
