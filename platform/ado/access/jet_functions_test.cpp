#include "platform/ado/access/jet_functions.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/access/jet_rewrite.h"
#include "platform/env/fake_env.h"
#include "platform/text/ascii.h"

namespace tavrin::ado {
namespace {

// Runs the rewritten `jet` on a small table and returns the first column of
// each row as text ("NULL" for null).
class JetSqlite : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    db_.reset(db);
    ASSERT_EQ(RegisterJetDialect(db, env_), SQLITE_OK);
    Exec("CREATE TABLE t (n INTEGER, s TEXT COLLATE JET, d REAL)");
    Exec("INSERT INTO t VALUES (1, 'Closed', 45356.5), (2, 'open', -0.75), (3, NULL, -0.25), "
         "(4, 'école', NULL), (5, 'Ecole', 0), (6, 'CLOSED', 1)");
  }

  void Exec(const std::string& sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
  }

  std::vector<std::string> Column(const std::string& jet) {
    std::vector<std::string> out;
    sqlite3_stmt* st = nullptr;
    const std::string sql = RewriteJetSql(jet).sql;
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_.get());
      return out;
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const auto* t = sqlite3_column_text(st, 0);
      out.push_back(t ? reinterpret_cast<const char*>(t) : "NULL");
    }
    if (rc != SQLITE_DONE) out.push_back("ERROR " + std::string(sqlite3_errmsg(db_.get())));
    sqlite3_finalize(st);
    return out;
  }

  // 2024-03-05 14:07:09 in the fake's local time.
  FakeEnv env_{1709647629};
  using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
  Db db_{nullptr, sqlite3_close};
};

using S = std::vector<std::string>;

TEST_F(JetSqlite, ConditionsAndOrder) {
  EXPECT_EQ(Column("SELECT n FROM t WHERE s = \"closed\""), (S{"1", "6"}));
  EXPECT_EQ(Column("SELECT n FROM t WHERE \"CLOSED\" = s"), (S{"1", "6"}));
  EXPECT_EQ(Column("SELECT n FROM t WHERE s = 'École'"), (S{"4"}));
  EXPECT_EQ(Column("SELECT n FROM t WHERE s LIKE 'c%' AND NOT s LIKE '[!c]%'"), (S{"1", "6"}));
  EXPECT_EQ(Column("SELECT n FROM t WHERE s Is Null"), (S{"3"}));
  EXPECT_EQ(Column("SELECT n FROM t WHERE d < #12/30/1899# ORDER BY d"), (S{"2", "3"}));
  EXPECT_EQ(Column("SELECT n FROM t ORDER BY s, n"), (S{"3", "1", "6", "5", "4", "2"}));
  EXPECT_EQ(Column("SELECT n FROM t WHERE UCase(s) = 'closed' ORDER BY n"), (S{"1", "6"}));
}

TEST_F(JetSqlite, Functions) {
  EXPECT_EQ(Column("SELECT s & '!' & Null FROM t WHERE n IN (1, 3)"), (S{"Closed!", "!"}));
  EXPECT_EQ(Column("SELECT Null & Null"), (S{"NULL"}));
  EXPECT_EQ(Column("SELECT UCase('école') & LCase('ÀB')"), (S{"ÉCOLEàb"}));
  EXPECT_EQ(Column("SELECT '[' & Trim('  a b  ') & ']'"), (S{"[a b]"}));
  EXPECT_EQ(Column("SELECT Len('école') & ',' & Len(Null)"), (S{"5,"}));
  EXPECT_EQ(Column("SELECT Left('école', 2) & Right('école', 2) & Mid('école', 2, 3) & Mid('abc', 3)"),
            (S{"éclecolc"}));
  EXPECT_EQ(Column("SELECT InStr('Springfield', 'FIELD') & InStr(7, 'abcabc', 'c') & "
                   "InStr(1, 'abc', 'B', 0)"),
            (S{"700"}));
  EXPECT_EQ(Column("SELECT Nz(s, 'none') FROM t WHERE n = 3"), (S{"none"}));
  EXPECT_EQ(Column("SELECT IIf(IsNull(s), 'y', 'n') FROM t WHERE n IN (3, 4)"), (S{"y", "n"}));
  EXPECT_EQ(Column("SELECT Year(d) & '-' & Month(d) & '-' & Day(d) FROM t WHERE n IN (1, 2)"),
            (S{"2024-3-5", "1899-12-29"}));
  EXPECT_EQ(Column("SELECT Date() & '|' & Now()"), (S{"45356|45356.5882986111"}));
  EXPECT_EQ(Column("SELECT Year(Now()) & '-' & Month(Date()) & '-' & Day(Now())"), (S{"2024-3-5"}));
  EXPECT_EQ(Column("SELECT 7 Mod 3"), (S{"1"}));
  EXPECT_EQ(Column("SELECT Mid('abc', 0)"), (S{"ERROR Invalid procedure call or argument"}));
}

// Every Jet function the rewrite renames is one the engine has and allows;
// the dialect's own helpers are not Jet's names.
TEST(JetFunctionNames, TheRewriteCallsOnlyRegisteredFunctions) {
  for (const char* name : {"UCase", "lcase", "TRIM", "Len", "Left", "Right", "Mid", "InStr", "Nz", "IIf", "IsNull",
                           "Date", "Now", "Year", "Month", "Day"}) {
    EXPECT_TRUE(IsJetFunctionName(name)) << name;
    const std::string lowered = "jet_" + text::AsciiLowered(name);
    EXPECT_NE(RewriteJetSql(std::string("SELECT ") + name + "(a) FROM t").sql.find(lowered + "("), std::string::npos)
        << name;
    EXPECT_TRUE(IsJetDialectFunction(lowered)) << name;
  }
  for (const char* name : {"Concat", "concat", "like", "jet_ucase", "Count", "substr", ""})
    EXPECT_FALSE(IsJetFunctionName(name)) << name;
}

}  // namespace
}  // namespace tavrin::ado
