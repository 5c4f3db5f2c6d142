#include "platform/ado/access/jet_collation.h"

#include <gtest/gtest.h>

namespace tavrin::ado {
namespace {

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

}  // namespace
}  // namespace tavrin::ado
