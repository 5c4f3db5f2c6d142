// The Jet SQL dialect: the rewrite, then the query held to the dialect in
// SQLite over a small table Org. The input is the whole SQL text; a query
// may take a bounded number of the engine's steps.

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_env.h"
#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_query.h"
#include "platform/ado/access/jet_rewrite.h"
#include "platform/ado/oledate.h"
#include "platform/text/ascii.h"
#include "tools/jet4_writer.h"

namespace {

using namespace tavrin;
using namespace tavrin::ado;
using namespace tavrin::ado::access;

// Table Org with three rows: texts with accents and quotes, nulls, dates
// on both sides of 1899-12-30.
std::shared_ptr<StoredTable> MakeOrg() {
  auto org = std::make_shared<StoredTable>();
  org->name = "Org";
  for (const auto& c : jet4::OrgColumns()) {
    Tag tag = Tag::kText;
    if (c.type == jet4::ColumnType::kLong || c.type == jet4::ColumnType::kInteger) tag = Tag::kLong;
    if (c.type == jet4::ColumnType::kDouble) tag = Tag::kDouble;
    if (c.type == jet4::ColumnType::kDateTime) tag = Tag::kDate;
    org->columns.push_back({c.name, tag});
  }
  const char* const texts[] = {"Closed", "École Sainte-Anne", "O'Brien's \"Daycare\"", "100%", ""};
  RowBuilder row;
  for (size_t r = 0; r < 3; ++r) {
    row.Clear();
    for (size_t c = 0; c < org->columns.size(); ++c) {
      const Tag tag = org->columns[c].declared;
      if ((r + c) % 4 == 3) row.AddNull();
      else if (tag == Tag::kLong) row.AddNumber(tag, static_cast<double>(r + 1));
      else if (tag == Tag::kDate) row.AddNumber(tag, OleDateToLinear(r == 1 ? -1.25 : 45356.58829861111));
      else if (tag == Tag::kDouble) row.AddNumber(tag, 0.5 * static_cast<double>(r));
      else row.AddText(texts[(r + c) % 5]);
    }
    org->AddRow(row.cells());
  }
  org->Finish();
  return org;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<StoredTable> org = MakeOrg();
  static fuzz::TickingEnv env;
  RewrittenQuery q;
  try {
    q = RewriteJetSql(fuzz::Text(data, size));
  } catch (const ProviderFailure&) {
    return 0;
  }
  AttachedTables tables;
  for (const auto& name : q.tables) {
    if (!text::EqualsIgnoreAsciiCase(name, "Org")) return 0;  // the reader would refuse it
    tables.tables.push_back(org);
  }
  try {
    const auto result = RunJetQuery(q, tables, env, {{}, std::chrono::milliseconds(20)});
    for (int64_t r = 0; r < result->RowCount(); ++r)
      for (int c = 0; c < static_cast<int>(result->Columns().size()); ++c) result->Value(r, c).AsText();
  } catch (const ProviderFailure&) {
  } catch (const _com_error&) {  // a value that is no date prints as none
  }
  return 0;
}
