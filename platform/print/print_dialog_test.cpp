#include "platform/print/print_dialog.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/print/fake_print_backend.h"
#include "platform/window/fake_window.h"

namespace tavrin {
namespace {

using Answers = std::vector<std::optional<std::string>>;

class PrintDialogTest : public testing::Test {
 protected:
  PrintDialogTest() {
    backend.destinations.destinations = {
        {"office", "Office laser", false}, {"Listing", "", true}, {"wall", "wall", false}};
  }

  PrinterChoice Ask(const Answers& answers) {
    window.ScriptAnswers(answers);
    return WindowPrintDialog(window, backend).DoModal();
  }

  FakePrintBackend backend;
  FakeWindow window;
};

TEST_F(PrintDialogTest, ListsThePrintersNumberedWithTheDefaultMarked) {
  Ask({""});
  const auto questions = window.questions();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0].caption, "Print");
  EXPECT_EQ(questions[0].text,
            "Print on which printer?\n"
            "  1) office  Office laser\n"
            "* 2) Listing\n"
            "  3) wall\n"
            "  0) Cancel\n"
            "Enter prints on the default (*); a number or a name chooses.\n"
            "0, q or Escape cancels.");
}

TEST_F(PrintDialogTest, EnterANumberOrANameChooses) {
  for (const auto& [answer, printer] :
       std::vector<std::pair<std::string, std::string>>{{"", "Listing"},
                                                        {"  ", "Listing"},
                                                        {"1", "office"},
                                                        {" 3 ", "wall"},
                                                        {"OFFICE", "office"},
                                                        {"listing", "Listing"}}) {
    const PrinterChoice choice = Ask({answer});
    EXPECT_EQ(choice.result, PrinterChoice::kChosen) << answer;
    EXPECT_EQ(choice.printer, printer) << answer;
  }
}

TEST_F(PrintDialogTest, ZeroQEscapeAndEndOfInputCancel) {
  for (const std::optional<std::string>& answer :
       Answers{std::string("0"), std::string("q"), std::string("Q"), std::nullopt}) {
    const PrinterChoice choice = Ask({answer});
    EXPECT_EQ(choice.result, PrinterChoice::kCancelled);
    EXPECT_EQ(choice.error, "");
  }
}

TEST_F(PrintDialogTest, ABadAnswerIsAskedAgainWithTheReason) {
  const PrinterChoice choice = Ask({"4", "lobby", "-1", "2"});
  EXPECT_EQ(choice.result, PrinterChoice::kChosen);
  EXPECT_EQ(choice.printer, "Listing");
  const auto questions = window.questions();
  ASSERT_EQ(questions.size(), 4u);
  EXPECT_EQ(questions[1].text.substr(0, questions[1].text.find('\n')),
            "There is no printer \"4\".");
  EXPECT_EQ(questions[2].text.substr(0, questions[2].text.find('\n')),
            "There is no printer \"lobby\".");
  EXPECT_EQ(questions[3].text.substr(questions[3].text.find('\n') + 1), questions[0].text);

  // Without a default, Enter is a bad answer too.
  backend.destinations.destinations[1].is_default = false;
  const PrinterChoice second = Ask({"", "q"});
  EXPECT_EQ(second.result, PrinterChoice::kCancelled);
  const auto asked = window.questions();
  EXPECT_NE(asked[4].text.find("  0) Cancel\nA number or a name chooses.\n"), std::string::npos)
      << asked[4].text;
  EXPECT_EQ(asked[5].text.substr(0, asked[5].text.find('\n')),
            "There is no default printer: choose one.");
}

TEST_F(PrintDialogTest, NoServerOrNoPrinterFailsWithoutAsking) {
  backend.destinations.error = "The print server printhost:631 cannot be reached.";
  PrinterChoice choice = Ask({"1"});
  EXPECT_EQ(choice.result, PrinterChoice::kFailed);
  EXPECT_EQ(choice.error, "The print server printhost:631 cannot be reached.");

  backend.destinations = {};
  choice = Ask({"1"});
  EXPECT_EQ(choice.result, PrinterChoice::kFailed);
  EXPECT_EQ(choice.error, "The print server printhost:631 has no printers.");
  EXPECT_TRUE(window.questions().empty());

  choice = PresetPrintDialog(backend, "").DoModal();
  EXPECT_EQ(choice.result, PrinterChoice::kFailed);
  EXPECT_EQ(choice.error, "The print server printhost:631 has no printers.");
}

TEST_F(PrintDialogTest, PresetChoiceTakesTheNamedPrinterElseTheDefault) {
  PrinterChoice choice = PresetPrintDialog(backend, "WALL").DoModal();
  EXPECT_EQ(choice.result, PrinterChoice::kChosen);
  EXPECT_EQ(choice.printer, "wall");

  choice = PresetPrintDialog(backend, "").DoModal();
  EXPECT_EQ(choice.result, PrinterChoice::kChosen);
  EXPECT_EQ(choice.printer, "Listing");

  choice = PresetPrintDialog(backend, "lobby").DoModal();
  EXPECT_EQ(choice.result, PrinterChoice::kFailed);
  EXPECT_EQ(choice.error, "There is no printer \"lobby\" on the print server printhost:631.");

  backend.destinations.destinations[1].is_default = false;
  choice = PresetPrintDialog(backend, "").DoModal();
  EXPECT_EQ(choice.result, PrinterChoice::kFailed);
  EXPECT_EQ(choice.error,
            "No default printer is set on the print server printhost:631: name one with --printer "
            "NAME, or set one with lpoptions -d NAME.");
  EXPECT_TRUE(window.questions().empty());
}

}  // namespace
}  // namespace tavrin
