#include "output/sqlserver_output.h"

#include <optional>

#include "platform/text/utf8.h"

namespace tavrin {

std::unique_ptr<SqlServerOutput> SqlServerOutput::Open(const CReportDefinition& def,
                                                       COutputDatabase& db, RunHost& host) {
  if (!db.OpenOutputDatabase() || db.m_OutputDB.ConnectionDead()) return nullptr;
  return std::make_unique<SqlServerOutput>(def, db, host);
}

void SqlServerOutput::WriteRecord(const tagORG_INFO& org) {
  // Most records fit: they are published as they are, without a copy.
  std::optional<tagORG_INFO> fitted;
  for (const VeskOrgColumn* column : PublishedTextColumns()) {
    const std::string& text = org.*(column->text);
    if (text.size() <= column->width) continue;  // no more characters than bytes
    const size_t kept = text::Utf8Prefix(text, column->width).size();
    if (kept == text.size()) continue;
    if (!fitted) fitted = org;
    ((*fitted).*column->text).resize(kept);
    if (cut_count_++ == 0)
      first_cut_ = "record " + std::to_string(org.nRecordNumber) + ", column " + std::string(column->name);
  }
  if (db_.m_OutputDB.PublishOrg(fitted ? *fitted : org)) {
    ++published_;
  } else if (db_.m_OutputDB.ConnectionDead()) {
    connection_lost_ = true;
  }
}

void SqlServerOutput::End(WalkEnd how) {
  if (cut_count_ > 0) {
    host_.Notice("SQL Server: " + std::to_string(cut_count_) +
                 (cut_count_ == 1 ? " text was longer than its column and was"
                                  : " texts were longer than their columns and were") +
                 " cut to fit; the first: " + first_cut_ + ".");
  }
  if (how == WalkEnd::kStopped) {
    host_.Notice(StoppedNotice(def_, std::to_string(published_) +
                                         " organizations were published to table vesk_org"));
  }
  if (how != WalkEnd::kComplete) return;
  db_.m_OutputDB.CloseRecordset();
  db_.CloseOutputDatabase();
}

}  // namespace tavrin
