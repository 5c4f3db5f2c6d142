#include "platform/ado/access/jet_query.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/stored_table.h"
#include "platform/env/fake_env.h"

namespace tavrin::ado::access {
namespace {

// Table T of `rows` rows, each an Id and a Status of `width` letters.
AttachedTables WideRows(int rows, size_t width) {
  auto table = std::make_shared<StoredTable>();
  table->name = "T";
  table->columns = {{"Id", Tag::kLong}, {"Status", Tag::kText}};
  RowBuilder row;
  for (int i = 0; i < rows; ++i) {
    row.Clear();
    row.AddNumber(Tag::kLong, i);
    row.AddText(std::string(width, static_cast<char>('a' + i % 26)));
    table->AddRow(row.cells());
  }
  table->Finish();
  AttachedTables data;
  data.tables = {table};
  return data;
}

// The description of the failure `run` throws, or "" when it throws none.
template <typename Fn>
std::string FailureOf(Fn run) {
  try {
    run();
    return "";
  } catch (const ProviderFailure& f) {
    return f.description;
  }
}

// A query that reads a column whose values a table read in part lacks is
// refused before it runs, so that the provider reads the whole table.
TEST(JetQueryInPart, AColumnNotLoadedIsNeverRead) {
  auto table = std::make_shared<StoredTable>();
  table->name = "T";
  table->columns = {{"Id", Tag::kLong}, {"Status", Tag::kText, false}};
  RowBuilder row;
  row.AddNumber(Tag::kLong, 1);
  table->AddRow(row.cells());
  table->Finish();
  AttachedTables data;
  data.tables = {table};
  FakeEnv env;
  const RewrittenQuery ok = RewriteJetSql("SELECT * FROM T WHERE Id = 1");
  EXPECT_EQ(*RunJetRowQuery(ok, data, env, {}), std::vector<uint32_t>{0});
  const RewrittenQuery q = RewriteJetSql("SELECT * FROM T WHERE Status = 'x' ORDER BY Id");
  EXPECT_EQ(q.rowid_names, (std::vector<std::string>{"Status", "Id"}));
  EXPECT_EQ(RunJetRowQuery(q, data, env, {}), std::nullopt);
  EXPECT_THROW(RunJetQuery(q, data, env, {}), ProviderFailure);
}

// Rows sorted by column names of few values are sorted outside SQLite, by
// the ranks of their values: in exactly the order SQLite's sorter gives,
// ties in the order of the table, for every kind of value and both
// directions.
TEST(JetQuerySort, RowsSortedByNamesComeInSqlitesOwnOrder) {
  const std::vector<std::string> texts = {
      "", "a", "A", "b", "e", "\xc3\xa9", "\xc3\x89", "f", "Business", "business", "Businesses",
      "Business Alpha", "business alpha", "Business alphA", "abcdefgh", "ABCDEFGH", "abcdefghi", "abcdefg",
      "abcdefg\xc3\xa9", "abcdefgz", "\xc3\x84rger", "Zebra", "zebra", "\xcf\x89", "\xce\xa9", "\xd0\xaf",
      "\xd1\x8f", "\xff\xfe", "\xc3", std::string("a\0b", 3), std::string("a\0", 2), "0", "10", "9"};
  const std::vector<double> numbers = {0.0, -0.0, 1, -1, 2.5, 1e300, -1e300, HUGE_VAL, -HUGE_VAL, std::nan("")};
  auto table = std::make_shared<StoredTable>();
  table->name = "T";
  table->columns = {{"Name", Tag::kText}, {"Other", Tag::kText}, {"Amount", Tag::kDouble}, {"Count", Tag::kLong},
                    {"Code", Tag::kDouble}};
  uint32_t seed = 12345;
  auto next = [&seed](size_t below) {
    seed = seed * 1103515245u + 12345u;
    return static_cast<size_t>(seed >> 16) % below;
  };
  RowBuilder row;
  for (int i = 0; i < 800; ++i) {
    row.Clear();
    for (int text = 0; text < 2; ++text) {
      if (next(12) == 0) row.AddNull();
      else row.AddText(texts[next(texts.size())]);
    }
    if (next(12) == 0) row.AddNull();
    else row.AddNumber(Tag::kDouble, numbers[next(numbers.size())]);
    if (next(12) == 0) row.AddNull();
    else row.AddNumber(Tag::kLong, static_cast<double>(next(7)) - 3);
    // Text in a number column sorts after its numbers, as bytes.
    if (next(3) == 0) row.AddText(texts[next(texts.size())]);
    else row.AddNumber(Tag::kDouble, static_cast<double>(next(5)));
    table->AddRow(row.cells());
  }
  table->Finish();
  AttachedTables data;
  data.tables = {table};
  FakeEnv env;
  for (const char* order : {"Name", "[Name] DESC", "Other, Name", "Amount DESC, Count, Name", "Count ASC, Amount",
                            "Code, Name DESC", "Other DESC, Count DESC, Amount, Name"}) {
    SCOPED_TRACE(order);
    const RewrittenQuery ours = RewriteJetSql(std::string("SELECT * FROM T WHERE Count <> 2 ORDER BY ") + order);
    ASSERT_FALSE(ours.rowid_sort.empty());
    RewrittenQuery sqlites = ours;
    sqlites.rowid_sort.clear();
    const auto got = RunJetRowQuery(ours, data, env, {});
    const auto want = RunJetRowQuery(sqlites, data, env, {});
    ASSERT_TRUE(got && want);
    EXPECT_GT(want->size(), 500u);
    EXPECT_EQ(*got, *want);
  }

  // A key of too many values to rank is left to SQLite's sorter.
  table = std::make_shared<StoredTable>();
  table->name = "T";
  table->columns = {{"Name", Tag::kText}, {"Count", Tag::kLong}};
  for (int i = 0; i < 20000; ++i) {
    row.Clear();
    row.AddText("Org " + std::to_string(next(1000000)));
    row.AddNumber(Tag::kLong, static_cast<double>(next(3)));
    table->AddRow(row.cells());
  }
  table->Finish();
  data.tables = {table};
  const RewrittenQuery ours = RewriteJetSql("SELECT * FROM T WHERE Count <> 2 ORDER BY Count DESC, Name");
  RewrittenQuery sqlites = ours;
  sqlites.rowid_sort.clear();
  const auto got = RunJetRowQuery(ours, data, env, {});
  ASSERT_TRUE(got);
  EXPECT_GT(got->size(), 10000u);
  EXPECT_EQ(*got, *RunJetRowQuery(sqlites, data, env, {}));
}

// The deadline is measured on the query's clock, and a stop request ends a
// query while it runs.
TEST(JetQueryControl, TheDeadlineAndAStopEndTheQuery) {
  const AttachedTables data = WideRows(300, 1);
  const RewrittenQuery q = RewriteJetSql("SELECT Count(*) FROM T a, T b, T c");
  // A clock that moves a second at every look: the deadline passes at once.
  class Ticking : public FakeEnv {
   public:
    SteadyTime SteadyNow() override {
      AdvanceMs(1000);
      return FakeEnv::SteadyNow();
    }
  } ticking;
  QueryControl control;
  control.deadline = std::chrono::milliseconds(5000);
  try {
    RunJetQuery(q, data, ticking, control);
    ADD_FAILURE() << "the query was not stopped";
  } catch (const ProviderFailure& f) {
    EXPECT_EQ(f.description, "The query ran longer than 5 seconds and was stopped.");
  }

  FakeEnv env;
  std::atomic<int> asked{0};
  control = QueryControl{[&] { return ++asked > 2; }};
  try {
    RunJetQuery(q, data, env, control);
    ADD_FAILURE() << "the query was not stopped";
  } catch (const ProviderFailure& f) {
    EXPECT_EQ(f.hr, kEAbort);
  }
  EXPECT_EQ(asked, 3);
}

// Only a reading select runs, and only Jet's functions may be called.
TEST(JetQueryControl, WritesAndForeignFunctionsAreRefused) {
  const AttachedTables data = WideRows(3, 1);
  FakeEnv env;
  auto failure = [&](const std::string& sql) {
    try {
      RunJetQuery(RewriteJetSql(sql), data, env, {});
    } catch (const ProviderFailure& f) {
      return std::to_string(f.hr) + " " + f.description;
    }
    return std::string();
  };
  EXPECT_EQ(failure("SELECT UCase(Status) FROM T"), "");
  EXPECT_EQ(failure("SELECT hex(Status) FROM T"),
            std::to_string(kDbErrorsInCommand) + " Undefined function 'hex' in expression.");
  EXPECT_NE(failure("SELECT * FROM T; DELETE FROM T"), "");
  EXPECT_EQ(PrepareJetQuery(RewriteJetSql("SELECT Id AS n, Status FROM T"), data, env),
            (std::vector<std::string>{"n", "Status"}));
}

TEST(JetQueryMemory, TheResultCountsAgainstTheLimitWithSqliteHeap) {
  const AttachedTables data = WideRows(20000, 200);  // about 4.4 MB of result
  FakeEnv env;
  const RewrittenQuery q = RewriteJetSql("SELECT Status, Id FROM T WHERE Id >= 0");
  const sqlite3_int64 heap_limit = sqlite3_hard_heap_limit64(-1);
  QueryControl small;
  small.memory = int64_t{3} << 20;
  EXPECT_EQ(FailureOf([&] { RunJetQuery(q, data, env, small); }),
            "the query needs more than 3 MiB of memory and was stopped.");
  EXPECT_EQ(sqlite3_hard_heap_limit64(-1), heap_limit);  // set back after the query
  // The same query within the default limit.
  EXPECT_EQ(RunJetQuery(q, data, env, {})->RowCount(), 20000);
  EXPECT_EQ(sqlite3_hard_heap_limit64(-1), heap_limit);
}

TEST(JetQueryMemory, AUnionOrJoinThatMultipliesTheTableIsRefusedBeforeItRuns) {
  const AttachedTables data = WideRows(400, 1);
  FakeEnv env;
  auto run = [&](const std::string& sql) {
    return FailureOf([&] { RunJetQuery(RewriteJetSql(sql), data, env, {}); });
  };
  const std::string refused = run("SELECT * FROM T WHERE 0 UNION ALL SELECT a.* FROM T a, T b");
  EXPECT_EQ(refused.rfind("the query needs more than one query may hold (512 MiB and 4 times the rows of its "
                          "largest table): it could give 160400 rows from a table of 400",
                          0),
            0u)
      << refused;
  EXPECT_NE(run("SELECT * FROM T WHERE Id IN (SELECT a.Id FROM T a, T b)"), "");
  // A small table may be multiplied up to a floor; counting is no holding.
  std::string sixteen = "SELECT * FROM T WHERE 0";
  for (int i = 0; i < 15; ++i) sixteen += " UNION ALL SELECT * FROM T";
  EXPECT_EQ(run(sixteen), "");
  EXPECT_EQ(run("SELECT * FROM T WHERE (SELECT Count(*) FROM T a, T b) > 0"), "");
}

}  // namespace
}  // namespace tavrin::ado::access
