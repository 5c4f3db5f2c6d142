#include "platform/ado/access/jet_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrin::ado::access {
namespace {

std::string Decode(const std::string& bytes) {
  std::string out = "<";  // appends, never replaces
  AppendJetText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &out);
  return out;
}

// UCS-2: runs of ASCII and the characters between them, NUL characters,
// surrogate pairs, a lone surrogate before ASCII, and an odd last byte.
TEST(JetTextTest, Ucs2RunsOfAsciiAndEverythingBetween) {
  EXPECT_EQ(Decode(std::string("A\0b\0c\0", 6)), "<Abc");
  EXPECT_EQ(Decode(std::string("A\0\xE9\0z\0\x1F\x04!\0", 10)), "<A\xC3\xA9z\xD0\x9F!");
  EXPECT_EQ(Decode(std::string("a\0\0\0b\0", 6)), std::string("<a\0b", 4));
  EXPECT_EQ(Decode(std::string("x\0\x3D\xD8\x00\xDEy\0", 8)), "<x\xF0\x9F\x98\x80y");
  EXPECT_EQ(Decode(std::string("\x3D\xD8y\0z\0", 6)), "<\xEF\xBF\xBDyz");
  EXPECT_EQ(Decode(std::string("q\0r", 3)), "<q");
}

// The compressed form: its ASCII, and the ASCII of its uncompressed stretches
// up to the 00 that ends them.
TEST(JetTextTest, CompressedFormWithUncompressedStretches) {
  EXPECT_EQ(Decode("\xFF\xFE" "abc"), "<abc");
  EXPECT_EQ(Decode(std::string("\xFF\xFE" "ab\0" "c\0\x1F\x04" "d\0\0" "ef", 14)), "<abc\xD0\x9F" "def");
  EXPECT_EQ(Decode(std::string("\xFF\xFE" "a\xE9", 4)), "<a\xC3\xA9");
}

}  // namespace
}  // namespace tavrin::ado::access
