#include "output/html_output.h"

#include <gtest/gtest.h>

#include "output/fake_org_reader.h"
#include "output/output_test_support.h"
#include "output/report_generator.h"
#include "run/fake_run_host.h"

namespace tavrin {
namespace {

using test::Exists;
using test::ReadWholeFile;
using test::Texts;

tagORG_INFO Org(const std::string& category, const std::string& name, const std::string& status) {
  tagORG_INFO org;
  org.strCategory = category;
  org.strOrganizationName = name;
  org.strStatus = status;
  return org;
}

class HtmlOutputTest : public testing::Test {
 protected:
  HtmlOutputTest() {
    CReportDefinition& def = definition.def;
    def.m_strOutput = "HTML";
    def.m_strOutputFilename = dir / "page.html";
    def.m_strHtmlOpen = "<html>";
    def.m_strHtmlBodyOpen = "<body>";
    def.m_strHtmlHeader = "<h2>Report</h2>";
    def.m_strHtmlCategoryOpen = "<h4>";
    def.m_strHtmlCategoryClose = "</h4>";
    def.m_strHtmlOrgStatusOpen = "<p>";
    def.m_strHtmlOrgStatusClose = "</p>";
    def.m_strHtmlBodyClose = "</body>";
    def.m_strHtmlClose = "</html>";
  }

  // The page made from `orgs`, through the report driver.
  std::string Page(std::vector<tagORG_INFO> orgs) {
    reader.records = std::move(orgs);
    CReportGenerator(definition.def, reader, host).GenerateReport();
    return ReadWholeFile(dir / "page.html");
  }

  test::ScratchDir dir;
  test::TestDefinition definition;
  FakeOrgReader reader;
  FakeRunHost host;
};

const std::string kTop = "<html>\r\n<body>\r\n<h2>Report</h2>\r\n";
const std::string kBottom = "</body>\r\n</html>\r\n";

TEST_F(HtmlOutputTest, CategoryHeadingsFollowTheQueryOrder) {
  EXPECT_EQ(Page({Org("A", "Adams", "Closed"), Org("A", "Baker", "Open"), Org("B", "Clark", "Late")}),
            kTop +
                "<h4>A</h4>\r\n<p>Adams is Closed</p>\r\n<p>Baker is Open</p>\r\n"
                "<h4>B</h4>\r\n<p>Clark is Late</p>\r\n" +
                kBottom);
  EXPECT_EQ(host.stdout_text, "Completed successfully.\n");
  EXPECT_TRUE(host.statuses.empty());
  EXPECT_TRUE(host.progress.empty());

  EXPECT_EQ(Page({Org("A", "Adams", "Closed"), Org("B", "Baker", "Open"), Org("A", "Clark", "Late")}),
            kTop +
                "<h4>A</h4>\r\n<p>Adams is Closed</p>\r\n<h4>B</h4>\r\n<p>Baker is Open</p>\r\n"
                "<h4>A</h4>\r\n<p>Clark is Late</p>\r\n" +
                kBottom);
}

TEST_F(HtmlOutputTest, CategoriesCompareByteForByte) {
  EXPECT_EQ(Page({Org("Schools", "A", "x"), Org("schools", "B", "y"), Org("schools ", "C", "z")}),
            kTop +
                "<h4>Schools</h4>\r\n<p>A is x</p>\r\n<h4>schools</h4>\r\n<p>B is y</p>\r\n"
                "<h4>schools </h4>\r\n<p>C is z</p>\r\n" +
                kBottom);
}

TEST_F(HtmlOutputTest, EmptyCategoryGetsAHeadingOnlyAfterAnother) {
  EXPECT_EQ(Page({Org("", "A", "Open"), Org("X", "B", "Closed"), Org("", "C", "Late")}),
            kTop + "<p>A is Open</p>\r\n<h4>X</h4>\r\n<p>B is Closed</p>\r\n<h4></h4>\r\n<p>C is Late</p>\r\n" +
                kBottom);
}

TEST_F(HtmlOutputTest, DatabaseTextsAreEscapedThePiecesStandAsWritten) {
  definition.def.m_strHtmlOrgStatusOpen = "<p class=\"org\">";
  definition.def.m_strHtmlCategoryOpen = "<h4 title=\"&amp;\">";
  EXPECT_EQ(Page({Org("K&<12>", "<script>alert(document.cookie)</script>", "Closed \"&\" late"),
                  Org("K&<12>", "Martin Hardware & Supply", "Open")}),
            kTop +
                "<h4 title=\"&amp;\">K&amp;&lt;12&gt;</h4>\r\n"
                "<p class=\"org\">&lt;script&gt;alert(document.cookie)&lt;/script&gt; is "
                "Closed &quot;&amp;&quot; late</p>\r\n"
                "<p class=\"org\">Martin Hardware &amp; Supply is Open</p>\r\n" +
                kBottom);
}

TEST_F(HtmlOutputTest, ControlsHtmlForbidsBecomeReplacementCharacters) {
  // A NUL, a bell, DEL and a C1 control go; the whitespace controls stay.
  EXPECT_EQ(Page({Org(std::string("Sch\0ools", 8), "Adams\x07 \x7F\xC2\x85", "Closed\tall\fday")}),
            kTop + "<h4>Sch\xEF\xBF\xBDools</h4>\r\n<p>Adams\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD is "
                   "Closed\tall\fday</p>\r\n" +
                kBottom);
}

TEST_F(HtmlOutputTest, StopKeepsThePreviousPage) {
  test::WriteWholeFile(dir / "page.html", "previous");
  test::StoppingReader stopping(host, 2);
  stopping.records.assign(3, Org("A", "Adams", "Closed"));
  CReportGenerator(definition.def, stopping, host).GenerateReport();
  EXPECT_EQ(ReadWholeFile(dir / "page.html"), "previous");
  EXPECT_EQ(host.stdout_text, "");
  EXPECT_EQ(host.notices.size(), 1u);
}

TEST_F(HtmlOutputTest, NoOrganizationsGiveTheNotice) {
  EXPECT_EQ(Page({}), kTop + "<BR>\r\n<BR>\r\nThere are no schools currently closed.\r\n<BR>\r\n<BR>\r\n" +
                          kBottom);
  EXPECT_EQ(host.stdout_text, "Completed successfully.\n");
}

TEST_F(HtmlOutputTest, FailedReadEndsThePageAfterTheLastLine) {
  reader.fail_read = 2;
  EXPECT_EQ(Page({Org("A", "Adams", "Closed"), Org("A", "Baker", "Open"), Org("B", "Clark", "Late")}),
            kTop + "<h4>A</h4>\r\n<p>Adams is Closed</p>\r\n");
  EXPECT_EQ(host.stdout_text, "");
  EXPECT_TRUE(host.boxes.empty());
}

TEST_F(HtmlOutputTest, MissingFolderIsReportedOnStandardOutputOnly) {
  definition.def.m_strOutputFilename = dir / "missing/page.html";
  reader.records = {Org("A", "Adams", "Closed")};
  CReportGenerator(definition.def, reader, host).GenerateReport();
  EXPECT_EQ(host.stdout_text, "Can't open output file: " + dir / "missing/page.html");
  EXPECT_EQ(host.failures, 1);
  // The reason goes to the log, as an error that names the key.
  EXPECT_EQ(host.notices, Texts{"[] OutputFilename = \"" + dir / "missing/page.html" +
                                "\": cannot be created: No such file or directory (folder " + dir / "missing" +
                                " does not exist)"});
  EXPECT_EQ(host.notice_severities, std::vector<Severity>{Severity::kError});
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_TRUE(host.statuses.empty());
  EXPECT_EQ(reader.reads, 0);
  EXPECT_FALSE(Exists(dir / "missing"));
}

}  // namespace
}  // namespace tavrin
