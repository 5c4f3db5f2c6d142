#include "platform/ado/access/jet_collation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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

// Texts that share a beginning are compared where they differ, which may
// be inside a character: the result is what the two endings alone give,
// whatever whole characters come before them.
TEST(JetText, ASharedBeginningChangesNothing) {
  EXPECT_EQ(JetCompare("Longer than eight é", "Longer than eight É"), 0);
  EXPECT_LT(JetCompare("Longer than eight é", "Longer than eight f"), 0);
  EXPECT_GT(JetCompare("Longer than eight é", "Longer than eight e"), 0);
  EXPECT_LT(JetCompare("Longer than eight", "Longer than eight!"), 0);
  EXPECT_NE(JetCompare("xé", "xè"), 0);
  const std::vector<std::string> pieces = {"a", "A", "e", "é", "É", "è", "f", "ž", "Ž", "z", "\xC3", "\x80", "\xE2\x82"};
  const std::vector<std::string> prefixes = {"", "x", "Nine char", "Schule Zürich ", "Δ ΑΘΗΝΑ long prefix é"};
  uint32_t seed = 12345;
  const auto next = [&seed] { return (seed = seed * 1103515245 + 12345) >> 16; };
  const auto text = [&] {
    std::string t;
    for (uint32_t n = next() % 4; n > 0; --n) t += pieces[next() % pieces.size()];
    return t;
  };
  for (int round = 0; round < 2000; ++round) {
    const std::string x = text(), y = text();
    // "A" and "a" are alike but not the same bytes: x and y compared from
    // their first bytes on.
    const int alone = JetCompare("A" + x, "a" + y);
    for (const std::string& p : prefixes) {
      const int after = JetCompare(p + x, p + y);
      EXPECT_EQ((after > 0) - (after < 0), (alone > 0) - (alone < 0)) << "'" << p << "' + '" << x << "' / '" << y << "'";
    }
  }
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
