#include "config/windows_path.h"

#include <gtest/gtest.h>

#include "platform/profile/fake_profile.h"

namespace tavrin {
namespace {

const char kIni[] = "/w/TavrinReport.ini";

class WindowsPathTest : public ::testing::Test {
 protected:
  void Map(const std::string& from, const std::string& to) { store_.Set("Path Mapping", from, to, kIni); }

  IniPath Resolve(const std::string& value) { return ResolveIniPath("DataPath", value, store_, kIni); }

  // The path a usable value resolves to; the refusal marked when refused.
  std::string PathOf(const std::string& value) {
    const IniPath p = Resolve(value);
    return p.usable() ? p.path : "refused: " + p.refusal;
  }

  FakeProfileStore store_;
};

TEST_F(WindowsPathTest, LocalPathsTakeBackslashesAsSeparatorsAndNeedNoMapping) {
  EXPECT_EQ(PathOf("/srv/closings/Vesk.mdb"), "/srv/closings/Vesk.mdb");
  EXPECT_EQ(PathOf("reports\\status.htm"), "reports/status.htm");
  EXPECT_EQ(PathOf("..\\web\\status.htm"), "../web/status.htm");
  EXPECT_EQ(PathOf("status.htm"), "status.htm");
  EXPECT_EQ(PathOf(""), "");
  const IniPath p = Resolve("reports\\status.htm");
  EXPECT_EQ(p.value, "reports\\status.htm");
  EXPECT_EQ(p.key, "DataPath");
  EXPECT_EQ(p.mapping, "");
  EXPECT_EQ(store_.reads(), 0);  // no mapping is looked up
}

TEST_F(WindowsPathTest, DrivesAndSharesAreMappedWhateverTheSeparatorsAndCase) {
  Map("C:\\Closings", "/srv/closings");
  Map("\\\\webserver\\wwwroot", "/var/www/html");
  EXPECT_EQ(PathOf("C:\\Closings\\Vesk.mdb"), "/srv/closings/Vesk.mdb");
  EXPECT_EQ(PathOf("c:/closings/data\\Vesk.mdb"), "/srv/closings/data/Vesk.mdb");
  EXPECT_EQ(PathOf("C:\\CLOSINGS"), "/srv/closings");
  EXPECT_EQ(PathOf("C:\\Closings\\\\Vesk.mdb"), "/srv/closings/Vesk.mdb");
  EXPECT_EQ(PathOf("\\\\webserver\\wwwroot\\status.htm"), "/var/www/html/status.htm");
  EXPECT_EQ(PathOf("//WebServer/WWWRoot/status.htm"), "/var/www/html/status.htm");
  // The key that matched, in the value's letters and the line's separators.
  EXPECT_EQ(Resolve("c:/closings/Vesk.mdb").mapping, "c:\\closings");

  // Keys written with forward slashes or a separator at the end match alike.
  Map("D:/Feeds/", "/srv/feeds");
  EXPECT_EQ(PathOf("D:\\Feeds\\feed.xml"), "/srv/feeds/feed.xml");
  EXPECT_EQ(Resolve("D:\\Feeds\\feed.xml").mapping, "D:/Feeds/");
}

TEST_F(WindowsPathTest, LongestPrefixOfWholeComponentsWins) {
  Map("C:\\", "/srv/c");
  Map("C:\\Closings", "/srv/closings");
  Map("C:\\Closings\\Archive", "/mnt/archive");
  Map("\\\\fs", "/mnt/fs");
  Map("\\\\fs\\web", "/var/www");
  EXPECT_EQ(PathOf("C:\\Closings\\Archive\\2023.mdb"), "/mnt/archive/2023.mdb");
  EXPECT_EQ(PathOf("C:\\Closings\\Vesk.mdb"), "/srv/closings/Vesk.mdb");
  // "C:\Closings" is no prefix of "C:\Closings2": only whole names count.
  EXPECT_EQ(PathOf("C:\\Closings2\\Vesk.mdb"), "/srv/c/Closings2/Vesk.mdb");
  EXPECT_EQ(PathOf("\\\\fs\\web\\status.htm"), "/var/www/status.htm");
  EXPECT_EQ(PathOf("\\\\fs\\other\\status.htm"), "/mnt/fs/other/status.htm");
}

TEST_F(WindowsPathTest, MappingTargetsJoinWithOneSlash) {
  Map("C:", "/srv/c/");
  Map("E:", "/");
  Map("F:", "relative\\folder");
  EXPECT_EQ(PathOf("C:\\Vesk.mdb"), "/srv/c/Vesk.mdb");
  EXPECT_EQ(PathOf("C:"), "/srv/c");
  EXPECT_EQ(PathOf("C:\\"), "/srv/c");
  EXPECT_EQ(PathOf("E:\\data\\Vesk.mdb"), "/data/Vesk.mdb");
  EXPECT_EQ(PathOf("E:"), "/");
  EXPECT_EQ(PathOf("F:\\Vesk.mdb"), "relative/folder/Vesk.mdb");
}

TEST_F(WindowsPathTest, UnmappedWindowsPathsAreRefusedNamingTheLineToAdd) {
  Map("C:\\Other", "/srv/other");
  const IniPath drive = Resolve("C:\\Closings\\Vesk.mdb");
  EXPECT_FALSE(drive.usable());
  EXPECT_EQ(drive.refusal,
            "a Windows path, which cannot be used here: add a line such as C:\\Closings=/srv/closings "
            "to the section [Path Mapping]");
  EXPECT_EQ(drive.path, "C:\\Closings\\Vesk.mdb");  // never to be opened
  EXPECT_EQ(drive.value, "C:\\Closings\\Vesk.mdb");

  EXPECT_EQ(PathOf("\\\\webserver\\wwwroot\\status.htm"),
            "refused: a Windows path, which cannot be used here: add a line such as "
            "\\\\webserver\\wwwroot=/srv/wwwroot to the section [Path Mapping]");
  // The suggestion keeps the value's own spelling.
  EXPECT_NE(PathOf("d:/Feeds/Sub/feed.xml").find("such as d:/Feeds/Sub=/srv/sub "), std::string::npos);
  // A value with no folder below its drive or server.
  EXPECT_NE(PathOf("C:\\Vesk.mdb").find("such as C:=/srv/c "), std::string::npos);
  EXPECT_NE(PathOf("C:").find("such as C:=/srv/c "), std::string::npos);
  EXPECT_NE(PathOf("\\\\server").find("such as \\\\server=/srv/server "), std::string::npos);
  // Nothing is written: the section keeps exactly the lines it had.
  EXPECT_EQ(store_.writes(), 0);
}

TEST_F(WindowsPathTest, PathsThatCannotBeMappedAtAllAreRefused) {
  Map("C:", "/srv/c");
  EXPECT_EQ(PathOf("C:Vesk.mdb"),
            "refused: a Windows path relative to the current folder of drive C:, which cannot be used "
            "here: write it whole, from C:\\, and map that in the section [Path Mapping]");
  EXPECT_EQ(PathOf("\\\\"), "refused: a Windows share path without a server name, which cannot be used here");
  EXPECT_EQ(PathOf("\\\\\\server\\share\\x"),
            "refused: a Windows share path without a server name, which cannot be used here");
}

TEST_F(WindowsPathTest, AMappingThatLeadsNowhereHereIsRefusedNotSkipped) {
  Map("C:", "/srv/c");
  Map("C:\\Closings", "D:\\Closings");
  Map("C:\\Empty", "");
  EXPECT_EQ(PathOf("C:\\Closings\\Vesk.mdb"),
            "refused: a Windows path, which cannot be used here: the line C:\\Closings=D:\\Closings of "
            "the section [Path Mapping] must map it to a folder of this machine");
  EXPECT_NE(PathOf("C:\\Empty\\Vesk.mdb").find("the line C:\\Empty= of"), std::string::npos);
}

TEST_F(WindowsPathTest, MalformedMappingKeysMatchNothing) {
  Map("C:Closings", "/srv/wrong");
  Map("Closings", "/srv/wrong");
  Map("\\\\\\webserver\\wwwroot", "/srv/wrong");
  Map("C:\\\\Closings", "/srv/wrong");
  EXPECT_FALSE(Resolve("C:\\Closings\\Vesk.mdb").usable());
  EXPECT_FALSE(Resolve("\\\\webserver\\wwwroot\\status.htm").usable());
}

}  // namespace
}  // namespace tavrin
