#include "output/sqlserver_output.h"

#include <algorithm>

#include "platform/text/utf8.h"

namespace tavrin {

std::unique_ptr<SqlServerOutput> SqlServerOutput::Open(COutputDatabase& db, RunHost& host) {
  if (!db.OpenOutputDatabase() || db.m_OutputDB.ConnectionDead()) return nullptr;
  return std::make_unique<SqlServerOutput>(db, host);
}

void SqlServerOutput::WriteRecord(const tagORG_INFO& org) {
  tagORG_INFO fitted = org;
  for (const std::string_view name : kPublishedTextColumns) {
    const auto column = std::find_if(kVeskOrgColumns.begin(), kVeskOrgColumns.end(),
                                     [name](const VeskOrgColumn& c) { return c.name == name; });
    std::string& text = fitted.*(column->text);
    const std::string_view kept = text::Utf8Prefix(text, column->width);
    if (kept.size() == text.size()) continue;
    text.resize(kept.size());
    if (cut_count_++ == 0)
      first_cut_ = "record " + std::to_string(org.nRecordNumber) + ", column " + std::string(name);
  }
  if (!db_.m_OutputDB.PublishOrg(fitted) && db_.m_OutputDB.ConnectionDead()) connection_lost_ = true;
}

void SqlServerOutput::End(WalkEnd how) {
  if (cut_count_ > 0) {
    host_.Notice("SQL Server: " + std::to_string(cut_count_) +
                 (cut_count_ == 1 ? " text was longer than its column and was"
                                  : " texts were longer than their columns and were") +
                 " cut to fit; the first: " + first_cut_ + ".");
  }
  if (how != WalkEnd::kComplete) return;
  db_.m_OutputDB.CloseRecordset();
  db_.CloseOutputDatabase();
}

}  // namespace tavrin
