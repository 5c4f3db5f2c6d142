#include "config/ini2.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile/fake_profile.h"

namespace tavrin {
namespace {

constexpr const char* kFile = "/w/TavrinReport.ini";

class Ini2Test : public ::testing::Test {
 protected:
  std::string Get(const std::string& key, const std::string& def, bool write_default,
                  bool force_read = false) {
    return ini_.GetString("S", key, def, kFile, write_default, force_read);
  }
  std::optional<std::string> InFile(const std::string& key) { return store_.Find("S", key, kFile); }

  FakeProfileStore store_;
  CIni2 ini_{&store_};
};

TEST_F(Ini2Test, PresentKeyIsWrittenBackOnceAndThenServedFromCache) {
  store_.Set("S", "K", "v", kFile);
  EXPECT_EQ(Get("K", "d", false), "v");
  EXPECT_EQ(store_.writes(), 1);
  store_.Set("S", "K", "changed", kFile);
  EXPECT_EQ(Get("K", "d", true), "v");
  EXPECT_EQ(store_.reads(), 1);
  EXPECT_EQ(store_.writes(), 1);
  EXPECT_EQ(Get("K", "d", true, /*force_read=*/true), "changed");
}

TEST_F(Ini2Test, MissingKeyIsWrittenOnlyWithWriteDefault) {
  EXPECT_EQ(Get("A", "dflt", true), "dflt");
  EXPECT_EQ(InFile("A"), "dflt");

  EXPECT_EQ(Get("B", "dflt", false), "dflt");
  EXPECT_FALSE(InFile("B"));
  store_.Set("S", "B", "added", kFile);
  EXPECT_EQ(Get("B", "dflt", false), "added");  // nothing was cached for B
}

TEST_F(Ini2Test, SentinelValueCountsAsMissing) {
  store_.Set("S", "K", "zzQBDefault", kFile);
  EXPECT_EQ(Get("K", "d", false), "d");
  EXPECT_EQ(store_.writes(), 0);
  EXPECT_EQ(Get("K", "d", true), "d");
  EXPECT_EQ(InFile("K"), "d");
  // Only the exact text is the sentinel.
  store_.Set("S", "L", "zzqbdefault", kFile);
  EXPECT_EQ(Get("L", "d", false), "zzqbdefault");
}

TEST_F(Ini2Test, EmptyValueIsFound) {
  store_.Set("S", "K", "", kFile);
  EXPECT_EQ(Get("K", "d", true), "");
  EXPECT_EQ(store_.writes(), 1);
  EXPECT_EQ(Get("K", "d", true), "");
  EXPECT_EQ(store_.reads(), 1);
}

TEST_F(Ini2Test, EachLetterCaseFormHasItsOwnCacheEntry) {
  store_.Set("S", "Key", "v", kFile);
  EXPECT_EQ(Get("key", "d", true), "v");
  EXPECT_EQ(Get("KEY", "d", true), "v");
  EXPECT_EQ(store_.reads(), 2);
  EXPECT_EQ(Get("key", "d", true), "v");
  EXPECT_EQ(ini_.GetString("s", "KEY", "d", kFile, true, false), "v");
  EXPECT_EQ(store_.reads(), 3);
}

TEST_F(Ini2Test, AForcedReadWritesBackOnlyAValueTheCacheLacks) {
  store_.Set("S", "K", "v", kFile);
  EXPECT_EQ(Get("K", "d", false), "v");
  EXPECT_EQ(store_.writes(), 1);
  EXPECT_EQ(Get("K", "d", false, /*force_read=*/true), "v");
  EXPECT_EQ(store_.writes(), 1);
  store_.Set("S", "K", "edited elsewhere", kFile);
  EXPECT_EQ(Get("K", "d", false, /*force_read=*/true), "edited elsewhere");
  EXPECT_EQ(store_.writes(), 2);
  EXPECT_EQ(Get("K", "d", false), "edited elsewhere");
}

TEST_F(Ini2Test, KeyOnlyFormsUseSectionAndSecondFile) {
  ini_.SetFile(kFile);
  ini_.SetSection("Report Schedule");
  store_.Set("Report Schedule", "Report Name01", "Daily", kFile);
  EXPECT_EQ(ini_.GetString("Report Name01", "", true), "Daily");
  EXPECT_EQ(ini_.GetInt("Minutes Between Reports01", 1, true), 1);
  EXPECT_EQ(store_.Find("Report Schedule", "Minutes Between Reports01", kFile), "1");
  EXPECT_TRUE(ini_.GetBool("Flag", true, true));
  EXPECT_EQ(store_.Find("Report Schedule", "Flag", kFile), "Yes");
  EXPECT_FALSE(ini_.KeyPresent("Absent"));
  EXPECT_TRUE(ini_.KeyPresent("Flag"));
}

TEST(Ini2ParseIntTest, FollowsTheConversionRules) {
  EXPECT_EQ(CIni2::ParseInt("12abc"), 12);
  EXPECT_EQ(CIni2::ParseInt("abc"), 0);
  EXPECT_EQ(CIni2::ParseInt(" -7"), -7);
  EXPECT_EQ(CIni2::ParseInt("\t+5"), 5);
  EXPECT_EQ(CIni2::ParseInt(""), 0);
  EXPECT_EQ(CIni2::ParseInt("-"), 0);
  EXPECT_EQ(CIni2::ParseInt("- 3"), 0);
  EXPECT_EQ(CIni2::ParseInt("2147483647"), INT_MAX);
  EXPECT_EQ(CIni2::ParseInt("2147483648"), INT_MAX);
  EXPECT_EQ(CIni2::ParseInt("-2147483648"), INT_MIN);
  EXPECT_EQ(CIni2::ParseInt("-99999999999999999999999"), INT_MIN);
  EXPECT_EQ(CIni2::ParseInt("99999999999999999999999"), INT_MAX);
}

TEST_F(Ini2Test, GetIntWritesItsDefaultAsDecimalText) {
  EXPECT_EQ(ini_.GetInt("S", "N", -3, kFile, true), -3);
  EXPECT_EQ(InFile("N"), "-3");
  store_.Set("S", "M", " 12abc", kFile);
  EXPECT_EQ(ini_.GetInt("S", "M", 0, kFile, true), 12);
}

TEST_F(Ini2Test, GetBoolAcceptsOnlyTheFourWords) {
  const char* truthy[] = {"yes", "TRUE", "on", "1", "Yes", "oN"};
  const char* falsy[] = {"No", "0", "Y", "enabled", "", "yes ", "2"};
  int n = 0;
  for (const char* text : truthy) {
    std::string key = "T" + std::to_string(n++);
    store_.Set("S", key, text, kFile);
    EXPECT_TRUE(ini_.GetBool("S", key, false, kFile, true)) << text;
  }
  for (const char* text : falsy) {
    std::string key = "F" + std::to_string(n++);
    store_.Set("S", key, text, kFile);
    EXPECT_FALSE(ini_.GetBool("S", key, true, kFile, true)) << text;
  }
  EXPECT_TRUE(ini_.GetBool("S", "Missing", true, kFile, true));
  EXPECT_EQ(InFile("Missing"), "Yes");
}

TEST_F(Ini2Test, LongValueIsReturnedCutButNeverStoredShortened) {
  const std::string whole(400, 'x');
  store_.Set("S", "K", whole, kFile);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Get("K", "d", true), std::string(299, 'x'));
  EXPECT_EQ(Get("K", "d", true, /*force_read=*/true), std::string(299, 'x'));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(InFile("K"), whole);
  EXPECT_EQ(store_.writes(), 0);
  EXPECT_NE(err.find("[S] K is longer than 299 bytes; using its first 299 bytes"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("[S] K", err.find("[S] K") + 1), std::string::npos) << "reported twice";
}

TEST_F(Ini2Test, CutNeverSplitsAUtf8Character) {
  struct Case {
    std::string value;
    size_t expected;
  } cases[] = {
      {std::string(298, 'a') + "\xC3\xA9" + "tail", 298},          // 2-byte char at 298
      {std::string(297, 'a') + "\xE2\x82\xAC" + "tail", 297},      // 3-byte char at 297
      {std::string(296, 'a') + "\xF0\x9F\x98\x80" + "tail", 296},  // 4-byte char at 296
      {std::string(297, 'a') + "\xC3\xA9" + "tail", 299},          // ends exactly at 299
      {std::string(298, 'a') + "\xE9\xE9\xE9", 299},               // single-byte code page
  };
  testing::internal::CaptureStderr();
  int n = 0;
  for (const Case& c : cases) {
    std::string key = "K" + std::to_string(n++);
    store_.Set("S", key, c.value, kFile);
    EXPECT_EQ(Get(key, "d", true), c.value.substr(0, c.expected)) << key;
  }
  testing::internal::GetCapturedStderr();
}

TEST_F(Ini2Test, LongDefaultIsStoredWholeAndReadBackTheSameWay) {
  const std::string whole = std::string(290, 'p') + "/" + std::string(50, 'r');
  testing::internal::CaptureStderr();
  const std::string first = Get("Output", whole, true);
  EXPECT_EQ(first, whole.substr(0, 299));
  EXPECT_EQ(InFile("Output"), whole);
  EXPECT_EQ(Get("Output", whole, true), first);

  CIni2 next_start(&store_);
  EXPECT_EQ(next_start.GetString("S", "Output", whole, kFile, true, false), first);
  EXPECT_EQ(store_.writes(), 1);
  testing::internal::GetCapturedStderr();
}

TEST_F(Ini2Test, FailedWriteIsReportedOncePerFileAndDefaultsStillServe) {
  const std::string file = "/unwritable/for-this-test.ini";
  store_.set_fail_writes(true);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ini_.GetString("S", "A", "a", file, true, false), "a");
  EXPECT_EQ(ini_.GetInt("S", "B", 5, file, true), 5);
  EXPECT_TRUE(ini_.GetBool("S", "C", true, file, true));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(store_.writes(), 3);
  EXPECT_NE(err.find("cannot write " + file + ": "), std::string::npos) << err;
  EXPECT_EQ(err.find("cannot write", err.find("cannot write") + 1), std::string::npos) << err;
  // The cache holds what was meant to be written, as it would after success.
  EXPECT_EQ(ini_.GetString("S", "A", "other", file, true, false), "a");
}

TEST(Ini2FileTest, ReadOnlyFileIsLeftAsItIsAndDefaultsServeFromMemory) {
  char dir[] = "/tmp/ini2_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/TavrinReport.ini";
  const std::string text = "[Daily]\r\nOutput=CSV\r\n";
  std::ofstream(file, std::ios::binary) << text;
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);

  CIni2 ini;
  std::vector<std::string> notices;
  ini.SetNoticeSink([&notices](const std::string& line) { notices.push_back(line); });
  ini.SetFile(file);
  ini.SetSection("Daily");
  EXPECT_EQ(ini.GetString("Output", "INVALID", true), "CSV");
  EXPECT_EQ(ini.GetString("Where", "ALL", true), "ALL");
  EXPECT_EQ(ini.GetInt("ReportFieldLength1", 10, true), 10);
  EXPECT_EQ(ini.GetString("Where", "other", true), "ALL");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "TavrinReport: " + file +
                            " is read-only: it is left as it is, and the keys it lacks take their "
                            "defaults");
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
  std::filesystem::remove_all(dir);
}

TEST(Ini2FileTest, ReadingAWindowsMadeFileLeavesItByteForByte) {
  char dir[] = "/tmp/ini2_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/TavrinReport.ini";
  const std::string text =
      "; settings\r\n[Report Schedule]\r\nReport Name01 = \"Daily\"\r\n"
      "minutes between reports01=15\r\n\r\n[Daily]\r\nOutput-Year-First = yes\r\n";
  std::ofstream(file, std::ios::binary) << text;

  CIni2 ini;
  std::vector<std::string> notices;
  ini.SetNoticeSink([&notices](const std::string& line) { notices.push_back(line); });
  ini.SetFile(file);
  ini.SetSection("Report Schedule");
  EXPECT_EQ(ini.GetString("Report Name01", "", true), "Daily");
  EXPECT_EQ(ini.GetInt("Minutes Between Reports01", 1, true), 15);
  EXPECT_TRUE(ini.GetBool("Daily", "Output-Year-First", false, file, true));
  EXPECT_TRUE(notices.empty()) << notices.front();
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tavrin
