#include "platform/text/distance.h"

#include <gtest/gtest.h>

namespace tavrin::text {
namespace {

TEST(DistanceTest, EditsCountedLetterCaseIgnored) {
  EXPECT_EQ(EditDistanceIgnoreAsciiCase("Status", "STATUS"), 0u);
  EXPECT_EQ(EditDistanceIgnoreAsciiCase("Stauts", "status"), 2u);  // a swap is two edits
  EXPECT_EQ(EditDistanceIgnoreAsciiCase("Catgory", "category"), 1u);
  EXPECT_EQ(EditDistanceIgnoreAsciiCase("", "county"), 6u);
  EXPECT_EQ(EditDistanceIgnoreAsciiCase("kitten", "sitting"), 3u);
  EXPECT_EQ(EditDistanceIgnoreAsciiCase("sitting", "kitten"), 3u);
}

}  // namespace
}  // namespace tavrin::text
