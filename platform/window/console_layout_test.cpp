#include "platform/window/console_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrin {
namespace {

using Lines = std::vector<std::string>;

WindowState Panel(const std::string& status, int progress) {
  WindowState state;
  state.caption = "TavrinReportGenerator";
  state.controls = {{kIdReportName, "Daily"}, {kIdStatus, status}};
  state.progress = progress;
  return state;
}

TEST(ConsoleLayout, PanelScalesItsBarToTheWidth) {
  EXPECT_EQ(LayOutFrame(Panel("Processing 3 of 10", 40), {}, {}, 80, 24),
            (Lines{
                "== TavrinReportGenerator ==",
                "Report Name:      Daily",
                "Status:           Processing 3 of 10",
                "Percent Complete: [####################------------------------------]",
                "                  0%                                              100%",
                "                                                         Version 7.000",
            }));
  // Narrower: the bar takes what is left, but never less than 10.
  const Lines narrow = LayOutFrame(Panel("", 50), {}, {}, 40, 24);
  EXPECT_EQ(narrow[3], "Percent Complete: [#########----------]");
  EXPECT_EQ(narrow[4], "                  0%               100%");
  EXPECT_EQ(narrow[5], "                          Version 7.000");
  const Lines tiny = LayOutFrame(Panel("", 100), {}, {}, 12, 24);
  EXPECT_EQ(tiny[3], "Percent Com");
  EXPECT_EQ(LayOutFrame(std::nullopt, {}, {}, 80, 24), Lines{});
}

TEST(ConsoleLayout, BoxesQuestionsAndDialogsFollowThePanelInOrder) {
  const std::vector<BoxView> boxes = {
      {"tavrin-report", "Either a thing\r\nor another\r\n", BoxStyle::kAppWarning, false, false, ""},
      {"Message will close in 3 seconds.", "There was an error", BoxStyle::kPlain, true, false, ""},
      {"Print", "Which one?", BoxStyle::kPlain, false, true, "ab"},
      {"Stop", "x", BoxStyle::kMainWindowStop, false, false, ""},
  };
  const Lines frame = LayOutFrame(std::nullopt, boxes, {}, 80, 40);
  EXPECT_EQ(frame, (Lines{
                       "",
                       "+-- (!) tavrin-report",
                       "| Either a thing",
                       "| or another",
                       "+-- Enter: OK   Esc: Cancel",
                       "",
                       "+-- Message will close in 3 seconds.",
                       "| There was an error",
                       "+-- Enter: OK",
                       "",
                       "+-- Print",
                       "| Which one?",
                       "| > ab_",
                       "+-- Enter: OK   Esc: Cancel",
                       "",
                       "+-- (X) Stop",
                       "| x",
                       "+-- Enter: OK   Esc: Cancel",
                   }));
}

TEST(ConsoleLayout, LinesAreCutBeforeTheLastColumnAndControlsDefused) {
  const std::deque<std::string> output = {
      "bad\x1b[2J\x07text",
      "\ttab \xff invalid \xC2\x85 C1",
      // 'é' is two bytes and one column: the cut never splits it.
      "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
      "",
  };
  EXPECT_EQ(LayOutFrame(std::nullopt, {}, output, 9, 24),
            (Lines{"", "bad?[2J?", " tab ? i", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}));
}

TEST(ConsoleLayout, FrameNeverGrowsTallerThanTheScreen) {
  std::deque<std::string> output;
  for (int i = 0; i < 30; ++i) AppendOutput("output line " + std::to_string(i) + "\n", output);
  // Output gives way first: the newest lines that fit, after a blank one.
  const Lines frame = LayOutFrame(Panel("", 0), {}, output, 80, 10);
  ASSERT_EQ(frame.size(), 9u);
  EXPECT_EQ(frame[0], "== TavrinReportGenerator ==");
  EXPECT_EQ(frame[6], "");
  EXPECT_EQ(frame[7], "output line 28");
  EXPECT_EQ(frame[8], "output line 29");
  // With room for the blank line only, no output is shown.
  EXPECT_EQ(LayOutFrame(Panel("", 0), {}, output, 80, 8).size(), 6u);
  // Then the top of the panel goes; the newest box stays whole.
  const std::vector<BoxView> box = {{"Box", "one\ntwo", BoxStyle::kPlain, false, false, ""}};
  EXPECT_EQ(LayOutFrame(Panel("", 0), box, output, 80, 6),
            (Lines{"", "+-- Box", "| one", "| two", "+-- Enter: OK   Esc: Cancel"}));
  EXPECT_EQ(LayOutFrame(Panel("", 0), {}, output, 80, 0),
            Lines{"                                                         Version 7.000"});
}

TEST(ConsoleLayout, OutputContinuesAnOpenLineAndKeepsTheNewest) {
  std::deque<std::string> output;
  AppendOutput("Can't open ", output);
  AppendOutput("output file\nnext", output);
  EXPECT_EQ(output, (std::deque<std::string>{"Can't open output file", "next"}));
  for (size_t i = 0; i < kMaxOutputLines; ++i) AppendOutput("\nline " + std::to_string(i), output);
  ASSERT_EQ(output.size(), kMaxOutputLines);
  EXPECT_EQ(output.front(), "line 0");
  EXPECT_EQ(output.back(), "line " + std::to_string(kMaxOutputLines - 1));
}

TEST(ConsoleLayout, UpdateRewritesOnlyTheLinesThatChanged) {
  // First frame: from the cursor's line down.
  EXPECT_EQ(FrameUpdate({}, {"a", "b"}, false), "\r\x1b[2Ka\r\n\x1b[2Kb\r\n");
  EXPECT_EQ(FrameUpdate({"a", "b"}, {"a", "b"}, false), "");
  // Back up two lines; the unchanged first one is passed over.
  EXPECT_EQ(FrameUpdate({"a", "b"}, {"a", "c", "d"}, false), "\r\x1b[2A\r\n\x1b[2Kc\r\n\x1b[2Kd\r\n");
  // A shorter frame clears what was below it.
  EXPECT_EQ(FrameUpdate({"a", "b", "c"}, {"a"}, false), "\r\x1b[3A\r\n\x1b[J");
  // A new width rewrites everything, changed or not.
  EXPECT_EQ(FrameUpdate({"a"}, {"a"}, true), "\r\x1b[1A\x1b[2Ka\r\n");
}

}  // namespace
}  // namespace tavrin
