// End-to-end: INI files as Windows editors save them (CR LF line ends, a
// UTF-8 byte-order mark, or the Windows-1252 code page) run their reports,
// put their texts on the page as UTF-8, and keep their form when the
// program writes its defaults back.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

const char kRows[] =
    R"({"Record Number": 1, "Status": "Ferm\u00e9", "Organization Name": "\u00c9cole Sainte-Anne", "Category": "\u00c9coles"}
)";

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// The lines of `after` that are not those of `before`, when `after` holds
// every line of `before` in its order with CR LF ends; otherwise a failure.
testing::AssertionResult OnlyLinesAdded(const std::string& before, const std::string& after,
                                        std::vector<std::string>* added) {
  if (after.size() < 2 || after.substr(after.size() - 2) != "\r\n")
    return testing::AssertionFailure() << "the file does not end in CR LF";
  for (size_t nl = after.find('\n'); nl != std::string::npos; nl = after.find('\n', nl + 1)) {
    if (nl == 0 || after[nl - 1] != '\r')
      return testing::AssertionFailure() << "a line ends in LF alone at byte " << nl;
  }
  const std::vector<std::string> old_lines = CrLfLines(before);
  size_t matched = 0;
  for (const std::string& line : CrLfLines(after)) {
    if (matched < old_lines.size() && line == old_lines[matched]) {
      ++matched;
    } else {
      added->push_back(line);
    }
  }
  if (matched != old_lines.size())
    return testing::AssertionFailure() << "line lost or changed: " << old_lines[matched];
  return testing::AssertionSuccess();
}

// Whether `line` is one the program adds with its defaults: a key, or the
// global section with the blank line before it.
bool WrittenBack(const std::string& line) {
  return line.empty() || line == "[TavrinReportGenerator]" ||
         (line.find('=') != std::string::npos && line.front() != '[');
}

class WindowsIniTest : public testing::Test {
 protected:
  void SetUp() override { WriteOrgDatabase(dir_, kRows); }
  TempDir dir_;
};

TEST_F(WindowsIniTest, ByteOrderMarkBeforeTheScheduleRunsItAndStays) {
  const std::string ini =
      "\xEF\xBB\xBF[Report Schedule]\r\n"
      "Report Name01=Fermetures\r\n"
      "Minutes Between Reports01=0\r\n"
      "\r\n"
      "[Fermetures]\r\n"
      "; la page publique\r\n"
      "Output=HTML\r\n"
      "OutputFilename=page.html\r\n"
      "HtmlHeader=<h2>Fermetures d'\xC3\xA9" "coles</h2>\r\n"
      "ReportField1=[Category]\r\n"
      "ReportFieldSort1=Yes\r\n";
  const RunResult r = RunReport(dir_, ini, {});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(ReadFile(dir_ / "page.html").find("<h2>Fermetures d'\xC3\xA9" "coles</h2>\r\n"),
            std::string::npos);

  const std::string after = ReadFile(dir_ / "TavrinReport.ini");
  std::vector<std::string> added;
  ASSERT_TRUE(OnlyLinesAdded(ini, after, &added)) << after;
  EXPECT_EQ(after.rfind("\xEF\xBB\xBF[Report Schedule]\r\n", 0), 0u);
  for (const std::string& line : added) EXPECT_TRUE(WrittenBack(line)) << line;
}

TEST_F(WindowsIniTest, CodePageTextsReachThePageAsUtf8AndTheFileKeepsTheCodePage) {
  // Everything a Windows station has: e acute, a curly apostrophe, an en
  // dash and the euro sign in the code page's bytes, in a report's name, its
  // section, a comment and the page heading.
  const std::string ini =
      "; R\xE9glages de la station \x96 ne pas modifier\r\n"
      "[Report Schedule]\r\n"
      "Report Name01=\xC9" "coles\r\n"
      "Minutes Between Reports01=0\r\n"
      "\r\n"
      "[\xC9" "coles]\r\n"
      "Output=HTML\r\n"
      "OutputFilename=page.html\r\n"
      "HtmlHeader=<h2>Fermetures d\x92\xE9" "coles \x96 co\xFBt 0 \x80</h2>\r\n"
      "ReportField1=[Category]\r\n"
      "ReportFieldSort1=Yes\r\n";
  const RunResult r = RunReport(dir_, ini, {});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("\xC3\x89" "coles"), std::string::npos) << "the report's name in UTF-8";

  const std::string page = ReadFile(dir_ / "page.html");
  EXPECT_NE(page.find("<h2>Fermetures d\xE2\x80\x99\xC3\xA9" "coles \xE2\x80\x93 co\xC3\xBBt 0 "
                      "\xE2\x82\xAC</h2>\r\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("\xC3\x89" "cole Sainte-Anne is Ferm\xC3\xA9"), std::string::npos) << page;

  const std::string after = ReadFile(dir_ / "TavrinReport.ini");
  std::vector<std::string> added;
  ASSERT_TRUE(OnlyLinesAdded(ini, after, &added)) << after;
  EXPECT_FALSE(added.empty()) << "the defaults were written back";
  for (const std::string& line : added) {
    EXPECT_TRUE(WrittenBack(line)) << line;
    for (unsigned char c : line) EXPECT_LT(c, 0x80) << line;  // the defaults are ASCII
  }

  // A second run finds the file as the first left it and changes nothing.
  const RunResult again = RunProgram(ReportBinary(), {"--unattended"}, dir_.path());
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini"), after);
}

}  // namespace
}  // namespace tavrin::test
