#include "platform/print/printer_dc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/print/fake_print_backend.h"

namespace tavrin {
namespace {

using Line = FakePrintBackend::Line;

// A dialog that ends as the test says.
class ScriptedDialog : public PrintDialog {
 public:
  PrinterChoice choice{PrinterChoice::kChosen, "office", ""};
  int calls = 0;
  PrinterChoice DoModal() override {
    ++calls;
    return choice;
  }
};

class PrinterDcTest : public testing::Test {
 protected:
  CPrinterDC MakeDc() {
    return CPrinterDC(backend, dialog,
                      [this](const std::string& text) { failures.push_back(text); });
  }

  // The listing's set-up: 10-point Courier, margins 30, 30 and 40, 2 points
  // between lines, the first page.
  void StartListing(CPrinterDC& dc) {
    dc.OpenPrinter();
    dc.StartJob();
    dc.AddFont("Courier", 10);
    dc.SetMargins(30, 30, 40);
    dc.SetLineSpacing(2);
    dc.StartPage();
  }

  FakePrintBackend backend;
  ScriptedDialog dialog;
  std::vector<std::string> failures;
};

TEST_F(PrinterDcTest, LinesGoDownFromTheTopMarginInDeviceUnits) {
  CPrinterDC dc = MakeDc();
  StartListing(dc);
  dc.PrintLine("first");
  dc.PrintLine("");  // measured as "A", so it still takes a line
  dc.PrintLine("third");
  EXPECT_TRUE(dc.EndJob());

  ASSERT_EQ(backend.jobs.size(), 1u);
  const FakePrintBackend::Job& job = backend.jobs[0];
  EXPECT_EQ(job.destination, "office");
  EXPECT_EQ(job.title, "");
  EXPECT_EQ(job.font, "Courier");
  EXPECT_EQ(job.font_height, 83);  // 10 pt at 600 dpi, rounded
  // Top 30 pt = 250 units, left 40 pt = 333; a line is 95 units plus 2 pt (17).
  ASSERT_EQ(job.pages.size(), 1u);
  EXPECT_EQ(job.pages[0].lines,
            (std::vector<Line>{{333, 250, "first"}, {333, 362, ""}, {333, 474, "third"}}));
  EXPECT_EQ(job.measured, (std::vector<std::string>{"first", "A", "third"}));
  EXPECT_TRUE(job.pages[0].ended);
  EXPECT_TRUE(job.finished);
  EXPECT_TRUE(failures.empty());
}

TEST_F(PrinterDcTest, ALineThatWouldPassTheBottomMarginGoesToANewPage) {
  // The fourth line would end at 250 + 4 * 112 = 698, below 900 - 250.
  backend.page_height = 900;
  CPrinterDC dc = MakeDc();
  StartListing(dc);
  for (const char* text : {"1", "2", "3", "4"}) dc.PrintLine(text);
  dc.EndJob();

  const FakePrintBackend::Job& job = backend.jobs.at(0);
  ASSERT_EQ(job.pages.size(), 2u);
  EXPECT_EQ(job.pages[0].lines,
            (std::vector<Line>{{333, 250, "1"}, {333, 362, "2"}, {333, 474, "3"}}));
  EXPECT_EQ(job.pages[1].lines, (std::vector<Line>{{333, 250, "4"}}));
  EXPECT_TRUE(job.pages[0].ended && job.pages[1].ended);
}

TEST_F(PrinterDcTest, ALineTooTallForAnyPageGetsItsOwnPageWithoutBlankOnes) {
  backend.page_height = 550;  // 250 + 112 > 550 - 250
  CPrinterDC dc = MakeDc();
  StartListing(dc);
  dc.PrintLine("a");
  dc.PrintLine("b");
  dc.EndJob();
  const FakePrintBackend::Job& job = backend.jobs.at(0);
  ASSERT_EQ(job.pages.size(), 2u);
  EXPECT_EQ(job.pages[0].lines, (std::vector<Line>{{333, 250, "a"}}));
  EXPECT_EQ(job.pages[1].lines, (std::vector<Line>{{333, 250, "b"}}));
}

TEST_F(PrinterDcTest, UnitsFollowTheDeviceResolution) {
  backend.dpi = 300;
  CPrinterDC dc = MakeDc();
  StartListing(dc);
  dc.PrintLine("x");
  dc.PrintLine("y");
  dc.EndJob();
  const FakePrintBackend::Job& job = backend.jobs.at(0);
  EXPECT_EQ(job.font_height, 42);  // 41.67 rounded
  EXPECT_EQ(job.pages.at(0).lines, (std::vector<Line>{{167, 125, "x"}, {167, 125 + 95 + 8, "y"}}));
}

TEST_F(PrinterDcTest, ACancelledDialogPrintsNothingAndSaysNothing) {
  dialog.choice = {PrinterChoice::kCancelled, "", ""};
  CPrinterDC dc = MakeDc();
  StartListing(dc);
  dc.PrintLine("line");
  dc.NewPage();
  EXPECT_FALSE(dc.EndJob());
  EXPECT_TRUE(backend.jobs.empty());
  EXPECT_TRUE(failures.empty());
}

TEST_F(PrinterDcTest, EachFailureIsToldOnceAndLeavesNoPrinter) {
  dialog.choice = {PrinterChoice::kFailed, "", "No server."};
  {
    CPrinterDC dc = MakeDc();
    StartListing(dc);
    dc.PrintLine("line");
    dc.EndJob();
  }
  EXPECT_EQ(failures, std::vector<std::string>{"No server."});
  EXPECT_TRUE(backend.jobs.empty());

  failures.clear();
  dialog.choice = {PrinterChoice::kChosen, "office", ""};
  backend.start_error = "The printer refused the job.";
  {
    CPrinterDC dc = MakeDc();
    StartListing(dc);
    dc.PrintLine("line");
    EXPECT_FALSE(dc.EndJob());
  }
  EXPECT_EQ(failures, std::vector<std::string>{"The printer refused the job."});
  EXPECT_TRUE(backend.jobs.empty());

  failures.clear();
  backend.start_error.clear();
  backend.finish_error = "Unsupported document-format.";
  {
    CPrinterDC dc = MakeDc();
    StartListing(dc);
    dc.PrintLine("line");
    EXPECT_FALSE(dc.EndJob());
    EXPECT_FALSE(dc.EndJob());
  }
  EXPECT_EQ(failures, std::vector<std::string>{"Unsupported document-format."});
  ASSERT_EQ(backend.jobs.size(), 1u);
  EXPECT_TRUE(backend.jobs[0].cancelled);
}

TEST_F(PrinterDcTest, AJobNotEndedIsCancelled) {
  {
    CPrinterDC dc = MakeDc();
    StartListing(dc);
    dc.PrintLine("half");
  }
  {
    CPrinterDC dc = MakeDc();
    StartListing(dc);
    dc.PrintLine("half");
    dc.CancelJob();
    dc.PrintLine("after");
    EXPECT_FALSE(dc.EndJob());
  }
  ASSERT_EQ(backend.jobs.size(), 2u);
  for (const FakePrintBackend::Job& job : backend.jobs) {
    EXPECT_TRUE(job.cancelled);
    EXPECT_FALSE(job.finished);
    EXPECT_EQ(job.pages.at(0).lines, (std::vector<Line>{{333, 250, "half"}}));
  }
  EXPECT_TRUE(failures.empty());
}

}  // namespace
}  // namespace tavrin
