#include "platform/ado/access/jet_rewrite.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tavrin::ado
