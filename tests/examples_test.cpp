// End-to-end: the example report folder that the package ships and the demo
// runs publishes files that their consumers accept.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

std::string Example(const std::string& name) { return ReadFile(std::string(TAVRIN_SOURCE_DIR) + "/demo/" + name); }

TEST(ExamplesTest, ExampleFolderChecksCleanAndItsFeedIsWellFormedXml) {
  TempDir dir;
  const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", "300", "--seed", "2026"}, dir.path());
  ASSERT_EQ(w.exit_code, 0) << w.err;
  WriteFile(dir / "TavrinReport.ini", Example("TavrinReport.ini.template"));
  WriteFile(dir / "header.xml", Example("header.xml"));
  WriteFile(dir / "trailer.xml", Example("trailer.xml"));

  const RunResult check = RunProgram(ReportBinary(), {"--check"}, dir.path());
  EXPECT_EQ(check.exit_code, 0) << check.out;
  const RunResult run = RunProgram(ReportBinary(), {"--unattended"}, dir.path());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // The sample data has names with "&" in them, which only escaping makes
  // well-formed.
  const std::string feed = ReadFile(dir / "feed.xml");
  ASSERT_NE(feed.find("&amp;"), std::string::npos) << feed.substr(0, 2000);

  if (access("/usr/bin/xmllint", X_OK) != 0) GTEST_SKIP() << "xmllint is not installed (package libxml2-utils)";
  const RunResult lint = RunProgram("/usr/bin/xmllint", {"--noout", "feed.xml"}, dir.path());
  EXPECT_EQ(lint.exit_code, 0) << lint.out << lint.err;
  EXPECT_EQ(lint.err, "");
}

}  // namespace
}  // namespace tavrin::test
