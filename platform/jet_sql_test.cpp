#include "platform/jet_sql.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

namespace tavrin::ado {
namespace {

TEST(JetSqlRewrite, LiteralsBecomeSqliteLiterals) {
  EXPECT_EQ(RewriteJetSql(R"(SELECT * FROM Org WHERE Status = "say ""hi"" it's")").sql,
            "SELECT * FROM Org WHERE Status = ('say \"hi\" it''s' COLLATE JET)");
  EXPECT_EQ(RewriteJetSql("SELECT * FROM Org WHERE a = 'x''y'").sql,
            "SELECT * FROM Org WHERE a = ('x''y' COLLATE JET)");
  EXPECT_EQ(RewriteJetSql("SELECT * FROM Org WHERE a = True OR b = false").sql,
            "SELECT * FROM Org WHERE a = -1 OR b = 0");
  // Dates are linear day numbers: 2024-03-05 is day 45356, 14:00 is 7/12.
  EXPECT_EQ(RewriteJetSql("SELECT * FROM t WHERE d >= #3/5/2024#").sql,
            "SELECT * FROM t WHERE d >= 45356");
  EXPECT_EQ(RewriteJetSql("SELECT * FROM t WHERE d = #2024-03-05 2:00 PM#").sql,
            RewriteJetSql("SELECT * FROM t WHERE d = #3/5/2024 14:00:00#").sql);
  // Before 1899-12-30 the scale still runs forward within the day.
  EXPECT_EQ(RewriteJetSql("SELECT * FROM t WHERE d = #12/29/1899 6:00#").sql,
            "SELECT * FROM t WHERE d = -0.75");
}

TEST(JetSqlRewrite, ConcatenationFunctionsAndNames) {
  EXPECT_EQ(RewriteJetSql("SELECT a & \"-\" & UCase([Town\\City]) FROM t").sql,
            "SELECT jet_concat(jet_concat(a, ('-' COLLATE JET)), jet_ucase([Town\\City])) FROM t");
  EXPECT_EQ(RewriteJetSql("SELECT * FROM t WHERE (a & b) = 'x' AND Left(c, 2) = 'y'").sql,
            "SELECT * FROM t WHERE (jet_concat(a, b)) = ('x' COLLATE JET) AND jet_left(c, 2) = "
            "('y' COLLATE JET)");
  EXPECT_THROW(RewriteJetSql("SELECT a & FROM t"), JetSqlError);
}

TEST(JetSqlRewrite, MalformedTextFails) {
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE a = 'open"), JetSqlError);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE a = \"open"), JetSqlError);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE [a = 1"), JetSqlError);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE d = #2/30/2024#"), JetSqlError);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE d = #3/5/2024"), JetSqlError);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE d = #13:99#"), JetSqlError);
}

TEST(JetSqlRewrite, TablesAndRowidShape) {
  auto q = RewriteJetSql("SELECT * FROM Org ");
  EXPECT_EQ(q.tables, std::vector<std::string>{"Org"});
  EXPECT_EQ(q.rowid_sql, "SELECT _rowid_ FROM Org");
  q = RewriteJetSql("SELECT * FROM [My Table] WHERE x = 1 ORDER BY [y]");
  EXPECT_EQ(q.tables, std::vector<std::string>{"My Table"});
  EXPECT_EQ(q.rowid_sql, "SELECT _rowid_ FROM [My Table] WHERE x = 1 ORDER BY [y]");
  q = RewriteJetSql("SELECT a.x FROM (A AS a INNER JOIN [B] ON a.k = B.k) LEFT JOIN c ON 1, org");
  EXPECT_EQ(q.tables, (std::vector<std::string>{"A", "B", "c"}));
  EXPECT_EQ(q.rowid_sql, "");
  q = RewriteJetSql("SELECT * FROM a, b, A WHERE x IN (SELECT y FROM c)");
  EXPECT_EQ(q.tables, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(q.rowid_sql, "");
}

TEST(JetText, CompareIgnoresCaseButNotAccents) {
  EXPECT_EQ(JetCompare("Closed", "cLOSED"), 0);
  EXPECT_EQ(JetCompare("École", "école"), 0);
  EXPECT_NE(JetCompare("école", "ecole"), 0);
  EXPECT_LT(JetCompare("ecole", "école"), 0);
  EXPECT_LT(JetCompare("école", "fa"), 0);  // accents sort with their letter
  EXPECT_LT(JetCompare("abc", "ABCD"), 0);
  EXPECT_LT(JetCompare("", "a"), 0);
  EXPECT_EQ(JetCompare("ŽLUŤOUČKÝ", "žluťoučký"), 0);
  EXPECT_EQ(JetCompare("ΑΘΗΝΑ", "αθηνα"), 0);
  // Malformed UTF-8 compares without reading past the end.
  EXPECT_NE(JetCompare(std::string("a\xC3", 2), "a"), 0);
  EXPECT_EQ(JetCompare(std::string("\xE2\x82", 2), std::string("\xE2\x82", 2)), 0);
}

TEST(JetText, Like) {
  EXPECT_TRUE(JetLike("Springfield", "Sp%"));
  EXPECT_TRUE(JetLike("springfield", "SP%D"));
  EXPECT_FALSE(JetLike("Shelbyville", "Sp%"));
  EXPECT_TRUE(JetLike("Bob", "[!A]%"));
  EXPECT_FALSE(JetLike("anna", "[!A]%"));
  EXPECT_TRUE(JetLike("100%", "100[%]"));
  EXPECT_FALSE(JetLike("1000", "100[%]"));
  EXPECT_TRUE(JetLike("cat", "c_t"));
  EXPECT_FALSE(JetLike("cart", "c_t"));
  EXPECT_TRUE(JetLike("b7", "[a-c][0-9]"));
  EXPECT_FALSE(JetLike("d7", "[a-c][0-9]"));
  EXPECT_TRUE(JetLike("a_b", "a[_]b"));
  EXPECT_FALSE(JetLike("axb", "a[_]b"));
  EXPECT_TRUE(JetLike("Émile", "é%"));
  EXPECT_FALSE(JetLike("Emile", "é%"));
  EXPECT_TRUE(JetLike("", "%"));
  EXPECT_TRUE(JetLike("aXbXc", "%x%x%"));
  EXPECT_FALSE(JetLike("abc", "%x%"));
  EXPECT_TRUE(JetLike("a*b", "a*b"));  // * is no wildcard in ANSI-92
  EXPECT_FALSE(JetLike("axxb", "a*b"));
}

// Runs the rewritten `jet` on a small table and returns the first column of
// each row as text ("NULL" for null).
class JetSqlite : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    db_.reset(db);
    ASSERT_EQ(RegisterJetDialect(db), SQLITE_OK);
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
  EXPECT_EQ(Column("SELECT Date() <= Now() AND Now() < Date() + 1"), (S{"1"}));
  EXPECT_EQ(Column("SELECT 7 Mod 3"), (S{"1"}));
  EXPECT_EQ(Column("SELECT Mid('abc', 0)"), (S{"ERROR Invalid procedure call or argument"}));
}

}  // namespace
}  // namespace tavrin::ado
