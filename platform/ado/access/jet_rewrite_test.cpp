#include "platform/ado/access/jet_rewrite.h"

#include "platform/ado/access/failure.h"

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
  EXPECT_THROW(RewriteJetSql("SELECT a & FROM t"), access::ProviderFailure);
}

TEST(JetSqlRewrite, MalformedTextFails) {
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE a = 'open"), access::ProviderFailure);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE a = \"open"), access::ProviderFailure);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE [a = 1"), access::ProviderFailure);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE d = #2/30/2024#"), access::ProviderFailure);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE d = #3/5/2024"), access::ProviderFailure);
  EXPECT_THROW(RewriteJetSql("SELECT * FROM t WHERE d = #13:99#"), access::ProviderFailure);
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

// A rowid query that ends in an ORDER BY of names alone gives those names,
// so that the caller may sort; any other ORDER BY gives none.
TEST(JetSqlRewrite, TheNamesARowidQuerySortsBy) {
  auto q = RewriteJetSql("SELECT * FROM Org WHERE Status <> 'Open' ORDER BY [Category], Name DESC, x ASC;");
  ASSERT_EQ(q.rowid_sort.size(), 3u);
  EXPECT_EQ(q.rowid_sort[0].name, "Category");
  EXPECT_FALSE(q.rowid_sort[0].descending);
  EXPECT_EQ(q.rowid_sort[1].name, "Name");
  EXPECT_TRUE(q.rowid_sort[1].descending);
  EXPECT_EQ(q.rowid_sort[2].name, "x");
  EXPECT_FALSE(q.rowid_sort[2].descending);
  EXPECT_EQ(q.rowid_unsorted_sql, RewriteJetSql("SELECT * FROM Org WHERE Status <> 'Open'").rowid_sql);
  for (const char* sql : {"SELECT * FROM Org", "SELECT * FROM Org ORDER BY 1", "SELECT * FROM Org ORDER BY a + b",
                          "SELECT * FROM Org ORDER BY Len(a)", "SELECT * FROM Org ORDER BY a,",
                          "SELECT * FROM Org ORDER BY a b", "SELECT a FROM Org ORDER BY a"}) {
    q = RewriteJetSql(sql);
    EXPECT_TRUE(q.rowid_sort.empty()) << sql;
    EXPECT_EQ(q.rowid_unsorted_sql, "") << sql;
  }
}

// The reason a refused text gives, or "" when it is accepted.
std::string Refusal(const std::string& where) {
  try {
    RewriteJetSql("SELECT * FROM Org WHERE " + where);
    return "";
  } catch (const access::ProviderFailure& e) {
    EXPECT_EQ(e.hr, kDbErrorsInCommand);
    return e.description;
  }
}

TEST(JetSqlRewrite, SqliteOwnSqlIsRefusedAsNotJet) {
  for (const char* where :
       {"1=1 LIMIT 1", "1 LIMIT 1 OFFSET 2", "1 GROUP BY Status", "1 GROUP BY Status HAVING Count(*) > 1",
        "1 HAVING Count(*) > 0", "Status = 'x' COLLATE NOCASE", "CAST(Status AS BLOB) = 'x'", "Status = ?",
        "Status = ?1", "Status = :s", "Status = @s", "Status = $s", "Status IN ()", "Status IN ( )",
        "[Event Kill Date] > ##", "[Event Kill Date] > # #", "Status LIKE 'x!%' ESCAPE '!'", "CASE WHEN 1 THEN 1 END", "Status ISNULL", "Status NOTNULL",
        "Status || 'x' = 'y'", "Status == 'x'", "Status != 'x'", "1 << 2", "~1", "5 % 2 = 1",
        "1 INTERSECT SELECT * FROM Org", "1 EXCEPT SELECT * FROM Org",
        "Status IN (WITH x AS (SELECT 1) SELECT * FROM x)", "Status IN (VALUES (1))"}) {
    EXPECT_EQ(Refusal(where).rfind("not Jet SQL: ", 0), 0u) << where << ": " << Refusal(where);
  }
  // Jet's own: IsNull() the function, Mod, IN lists, aggregates with groups
  // where the list is not *, "%" and "?" within text, a union.
  for (const char* where :
       {"IsNull(Status)", "Status Is Null", "5 Mod 2 = 1", "Status IN ('a', 'b')", "Status = '100% ?'",
        "Status IN (SELECT Status FROM Org GROUP BY Status HAVING Count(*) > 1)", "d = #3/5/2024#",
        "0 UNION ALL SELECT * FROM Org", "Status LIKE '[!A]%'"}) {
    EXPECT_EQ(Refusal(where), "") << where;
  }
}

TEST(JetSqlRewrite, MostRowsAddsUnionsAndMultipliesJoins) {
  auto most = [](const std::string& sql) {
    return MostRowsOfAnySelect(RewriteJetSql(sql), [](const std::string& name) -> uint64_t {
      if (name == "Org" || name == "org") return 10;
      if (name == "B") return 3;
      return 0;
    });
  };
  EXPECT_EQ(most("SELECT * FROM Org WHERE Status = 'x' ORDER BY Status"), 10u);
  EXPECT_EQ(most("SELECT * FROM Org WHERE 0 UNION ALL SELECT * FROM Org UNION SELECT * FROM Org"), 30u);
  EXPECT_EQ(most("SELECT * FROM Org WHERE 0 UNION ALL SELECT a.* FROM Org a, Org AS b"), 110u);
  // A join nest whose ON condition holds commas, then one more table.
  EXPECT_EQ(most("SELECT a.* FROM (Org AS a INNER JOIN B ON IIf(a.x, 1, 2) = B.y) LEFT JOIN org c ON "
                 "Left(c.x, 1) = a.x, B"),
            900u);
  // A sub-query as a source, and one in the condition, which counts alone.
  EXPECT_EQ(most("SELECT * FROM (SELECT * FROM Org UNION ALL SELECT * FROM Org) AS u, B"), 60u);
  EXPECT_EQ(most("SELECT * FROM Org WHERE x IN (SELECT a.x FROM Org a, Org b, B)"), 300u);
  // Aggregating without groups gives one row, with groups up to one a row.
  EXPECT_EQ(most("SELECT * FROM Org WHERE (SELECT Count(*) FROM Org a, Org b) > 0"), 10u);
  EXPECT_EQ(most("SELECT * FROM Org WHERE x IN (SELECT Max(a.x) FROM Org a, Org b GROUP BY b.x)"), 100u);
  // An empty bracketed name is a table of that name, not a sub-query.
  EXPECT_EQ(most("SELECT * FROM Or[],[Category],[Organizat/ion Name]"), 0u);
  EXPECT_EQ(most("SELECT * FROM [], B"), 0u);
  // Ten self-joins overflow and saturate.
  EXPECT_EQ(most("SELECT * FROM Org WHERE 0 UNION ALL SELECT a.* FROM Org a, Org b, Org c, Org d, Org e, Org "
                 "f, Org g, Org h, Org i, Org j, Org k, Org l, Org m, Org n, Org o, Org p, Org q, Org r, Org s, "
                 "Org t"),
            UINT64_MAX);
}

}  // namespace
}  // namespace tavrin::ado
