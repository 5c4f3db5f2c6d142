#include "output/printer_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/output_test_support.h"
#include "platform/print/fake_print_backend.h"
#include "platform/print/print_dialog.h"
#include "platform/window/fake_window.h"

namespace tavrin {
namespace {

using namespace test;
using Page = FakePrintBackend::Page;

FieldInfo Sized(const std::string& name, int length) {
  FieldInfo field = Field(name);
  field.nLength = length;
  return field;
}

std::vector<std::string> LineTexts(const Page& page) {
  std::vector<std::string> texts;
  for (const auto& line : page.lines) texts.push_back(line.text);
  return texts;
}

TEST(FormatPrintHeadingTest, BracketsBecomeBlanksAndCellsAreCutToTheirLength) {
  EXPECT_EQ(FormatPrintHeading({Sized("[Organization Name]", 20)}), "Organization Name   ");
  EXPECT_EQ(FormatPrintHeading({Sized("Status", 0), Sized("City", -3)}), "");
  EXPECT_EQ(FormatPrintHeading({Sized("Status", 3), Sized(" \t[County]\n", 8)}), "StaCounty  ");
  // Never more than the name and its 80 blanks.
  EXPECT_EQ(FormatPrintHeading({Sized("Status", 100)}), "Status" + std::string(80, ' '));
  // Lengths count characters, not bytes.
  EXPECT_EQ(FormatPrintHeading({Sized("\xC3\x89tat", 3), Sized("x", 2)}), "\xC3\x89tax ");
}

class PrinterOutputTest : public testing::Test {
 protected:
  PrinterOutputTest() {
    backend.destinations.destinations = {{"listing", "", true}};
    services.print_backend = &backend;
    services.print_dialog = &dialog;
    def().m_strOutput = "Printer";
    def().m_FieldInfoArray = {Sized("[Organization Name]", 20), Sized("Status", 8)};
  }

  CReportDefinition& def() { return definition.def; }
  void Generate() { CReportGenerator(def(), reader, services).GenerateReport(); }
  // `count` organizations "Org 1", "Org 2", ..., all "Closed".
  void Orgs(int count) {
    reader.records.clear();
    for (int i = 1; i <= count; ++i)
      reader.records.push_back(Org("Org " + std::to_string(i), "Closed"));
  }
  const FakePrintBackend::Job& OnlyJob() {
    EXPECT_EQ(backend.jobs.size(), 1u);
    return backend.jobs.at(0);
  }
  static std::string Row(int i) {
    std::string name = "Org " + std::to_string(i);
    return name + std::string(19 - name.size(), ' ') + "Closed ";
  }

  TestDefinition definition;
  FakeOrgReader reader;
  FakeRunHost host;
  FakePrintBackend backend;
  PresetPrintDialog dialog{backend, ""};
  OutputServices services{host};
  const std::string heading = "Organization Name   Status  ";
};

TEST_F(PrinterOutputTest, NoOrganizationsPrintOneEmptyPage) {
  Generate();
  const auto& job = OnlyJob();
  EXPECT_EQ(job.destination, "listing");
  EXPECT_EQ(job.font, "Courier");
  EXPECT_EQ(job.font_height, 83);
  ASSERT_EQ(job.pages.size(), 1u);
  EXPECT_TRUE(job.pages[0].lines.empty());
  EXPECT_TRUE(job.pages[0].ended);
  EXPECT_TRUE(job.finished);
  EXPECT_TRUE(host.statuses.empty());
}

TEST_F(PrinterOutputTest, OneOrganizationUnderTheHeadingAndABlankLine) {
  Orgs(1);
  Generate();
  const auto& job = OnlyJob();
  ASSERT_EQ(job.pages.size(), 1u);
  EXPECT_EQ(LineTexts(job.pages[0]), (std::vector<std::string>{heading, " ", Row(1)}));
  // 30 pt from the top, 40 from the left, a line and 2 pt apart.
  EXPECT_EQ(job.pages[0].lines[0].y, 250);
  EXPECT_EQ(job.pages[0].lines[1].y, 362);
  EXPECT_EQ(job.pages[0].lines[2].y, 474);
  EXPECT_EQ(job.pages[0].lines[2].x, 333);
  EXPECT_TRUE(job.finished);
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_EQ(host.failures, 0);
}

TEST_F(PrinterOutputTest, FiftyOrganizationsFillAPageAndLeaveAHeadingOnTheNext) {
  Orgs(50);
  Generate();
  const auto& job = OnlyJob();
  ASSERT_EQ(job.pages.size(), 2u);
  const std::vector<std::string> first = LineTexts(job.pages[0]);
  ASSERT_EQ(first.size(), 52u);
  EXPECT_EQ(first[0], heading);
  EXPECT_EQ(first[51], Row(50));
  EXPECT_EQ(LineTexts(job.pages[1]), (std::vector<std::string>{heading, " "}));
  EXPECT_TRUE(job.pages[1].ended);
  EXPECT_TRUE(job.finished);
}

TEST_F(PrinterOutputTest, TheFiftyFirstOrganizationIsOnPageTwoUnderTheHeading) {
  Orgs(51);
  Generate();
  const auto& job = OnlyJob();
  ASSERT_EQ(job.pages.size(), 2u);
  EXPECT_EQ(LineTexts(job.pages[1]), (std::vector<std::string>{heading, " ", Row(51)}));
  EXPECT_EQ(job.pages[1].lines[0].y, 250);
  // The driver still shows every record, and then the end of the walk.
  EXPECT_EQ(host.statuses[host.statuses.size() - 2], "Processing 50 of 51");
  EXPECT_EQ(host.statuses.back(), "Processing 51 of 51");
}

TEST_F(PrinterOutputTest, ARepeatedSortValueIsBlankAlsoFirstOnANewPage) {
  FieldInfo category = Sized("[Category]", 8);
  category.bSort = true;
  category.bRepeat = false;
  def().m_FieldInfoArray = {category, Sized("[Organization Name]", 6), Sized("Status", 0)};
  Orgs(51);
  for (auto& org : reader.records) org.strCategory = "Schools";
  reader.records[0].strCategory = "Daycare";
  Generate();
  const auto& job = OnlyJob();
  ASSERT_EQ(job.pages.size(), 2u);
  EXPECT_EQ(job.pages[0].lines[0].text, "CategoryOrgani");
  EXPECT_EQ(job.pages[0].lines[2].text, "DaycareOrg 1");
  EXPECT_EQ(job.pages[0].lines[3].text, "SchoolsOrg 2");
  EXPECT_EQ(job.pages[0].lines[4].text, "       Org 3");
  EXPECT_EQ(job.pages[1].lines[2].text, "       Org 5");  // Org 51, cut to 5 characters
}

TEST_F(PrinterOutputTest, AShortPageContinuesOnAPageWithoutHeading) {
  backend.page_height = 2000;  // room for (2000 - 500) / 112 = 13 lines
  Orgs(60);
  Generate();
  const auto& job = OnlyJob();
  // 52 lines: 13 + 13 + 13 + 13; then the listing's own page with a heading.
  ASSERT_EQ(job.pages.size(), 5u);
  for (size_t p = 0; p < 4; ++p) EXPECT_EQ(job.pages[p].lines.size(), 13u) << p;
  EXPECT_EQ(job.pages[1].lines[0].text, Row(12));
  EXPECT_EQ(job.pages[1].lines[0].y, 250);
  EXPECT_EQ(job.pages[3].lines[12].text, Row(50));
  EXPECT_EQ(job.pages[4].lines[0].text, heading);
  EXPECT_EQ(job.pages[4].lines.size(), 12u);  // heading, blank and 10 records
  EXPECT_EQ(job.pages[4].lines[11].text, Row(60));
}

TEST_F(PrinterOutputTest, AFailedReadOrAStopCancelsTheJob) {
  Orgs(80);
  reader.fail_read = 60;
  Generate();
  EXPECT_TRUE(host.notices.empty());
  StoppingReader stopping(host, 30);
  stopping.records = reader.records;
  CReportGenerator(def(), stopping, services).GenerateReport();
  ASSERT_EQ(backend.jobs.size(), 2u);
  for (const auto& job : backend.jobs) {
    EXPECT_TRUE(job.cancelled);
    EXPECT_FALSE(job.finished);
  }
  EXPECT_EQ(backend.jobs[0].pages.size(), 2u);  // as far as it got
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_EQ(host.failures, 0);
  // Only the stop says in the log what became of the listing.
  ASSERT_EQ(host.notices.size(), 1u);
  EXPECT_NE(host.notices[0].find("nothing was printed"), std::string::npos);
}

TEST_F(PrinterOutputTest, ACancelledDialogPrintsNothingAndTheWalkGoesOn) {
  FakeWindow window;
  window.ScriptAnswers({std::nullopt});
  WindowPrintDialog asking(window, backend);
  services.print_dialog = &asking;
  Orgs(3);
  Generate();
  EXPECT_TRUE(backend.jobs.empty());
  EXPECT_EQ(window.questions().size(), 1u);
  EXPECT_EQ(host.statuses,
            (Texts{"Processing 0 of 3", "Processing 1 of 3", "Processing 2 of 3", "Processing 3 of 3"}));
  EXPECT_EQ(host.progress, (std::vector<int>{0, 33, 66, 100}));
  EXPECT_EQ(reader.reads, 3);
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_EQ(host.failures, 0);
}

TEST_F(PrinterOutputTest, APrinterFailureIsOneWarningAndTheWalkGoesOn) {
  const auto expect_one_box = [this](const std::string& text) {
    ASSERT_EQ(host.boxes.size(), 1u) << text;
    EXPECT_EQ(host.boxes[0].text, text + " The listing is not printed.");
    EXPECT_EQ(host.boxes[0].style, BoxStyle::kAppWarning);
    EXPECT_EQ(host.failures, 1);
    EXPECT_EQ(reader.reads, 3);
    host = FakeRunHost();
    reader.reads = 0;
  };
  Orgs(3);
  backend.destinations.destinations[0].is_default = false;
  Generate();
  expect_one_box(
      "No default printer is set on the print server printhost:631: name one with --printer NAME, "
      "or set one with lpoptions -d NAME.");

  backend.destinations.destinations[0].is_default = true;
  backend.start_error = "The printer \"listing\" refused the job: not accepting jobs.";
  Generate();
  expect_one_box(backend.start_error);

  backend.start_error.clear();
  backend.finish_error = "The printer \"listing\" did not take the document: Unsupported.";
  Generate();
  expect_one_box(backend.finish_error);
  EXPECT_TRUE(backend.jobs.at(0).cancelled);
}

TEST_F(PrinterOutputTest, WithoutAPrintingSystemThereIsNoListing) {
  services.print_backend = nullptr;
  Orgs(2);
  Generate();
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].text, "Printing is not available - report canceled");
  EXPECT_EQ(reader.reads, 0);
}

}  // namespace
}  // namespace tavrin
