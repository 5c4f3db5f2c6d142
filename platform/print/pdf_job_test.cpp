#include "platform/print/pdf_job.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrin {
namespace {

size_t Count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos + 1)) ++n;
  return n;
}

TEST(PrintableTextTest, EveryByteBecomesOneDrawableCharacter) {
  EXPECT_EQ(PrintableText("plain text"), "plain text");
  EXPECT_EQ(PrintableText("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xC3\xA9 \xE2\x82\xAC");  // UTF-8 kept
  // A byte that is not UTF-8 is read as Windows-1252.
  EXPECT_EQ(PrintableText("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(PrintableText("\x81"), "\xEF\xBF\xBD");
  // Tabs to the next multiple of 8 characters, counted in characters.
  EXPECT_EQ(PrintableText("a\tb"), "a       b");
  EXPECT_EQ(PrintableText("\xC3\xA9\xC3\xA9\t|"), "\xC3\xA9\xC3\xA9      |");
  EXPECT_EQ(PrintableText("12345678\t|"), "12345678        |");
  // Control characters, DEL and C1 controls as blanks; a NUL does not end it.
  EXPECT_EQ(PrintableText(std::string("a\r\nb\x7f\0c", 7)), "a  b  c");
  EXPECT_EQ(PrintableText("x\xC2\x85y"), "x y");
}

class PdfJobTest : public testing::Test {
 protected:
  PdfJob::Writer Collect() {
    return [this](const char* data, size_t size) {
      pdf.append(data, size);
      return true;
    };
  }

  std::vector<std::string> notices;
  PrintFonts fonts{[this](const std::string& text) { notices.push_back(text); }};
  std::string pdf;
};

TEST_F(PdfJobTest, LetterPagesIn600DpiUnitsWithLiberationMonoForCourier) {
  PdfJob job(Collect(), 612, 792, fonts);
  EXPECT_EQ(job.DpiX(), 600);
  EXPECT_EQ(job.DpiY(), 600);
  EXPECT_EQ(job.PageWidth(), 5100);
  EXPECT_EQ(job.PageHeight(), 6600);
  job.SetFont("Courier", 83);
  // Ascent plus descent of Liberation Mono, 2320/2048 em, rounded up.
  EXPECT_EQ(job.TextHeight("gjpqy"), 95);
  EXPECT_EQ(job.TextHeight(""), 95);
  job.StartPage();
  job.DrawText(333, 250, "one");
  job.EndPage();
  job.StartPage();
  job.DrawText(333, 250, "two \xE9\t|");  // would put cairo in error unmended
  EXPECT_EQ(job.Finish(), "");
  EXPECT_EQ(pdf.substr(0, 5), "%PDF-");
  EXPECT_EQ(Count(pdf, "/Type /Page "), 2u);
  EXPECT_NE(pdf.find("LiberationMono"), std::string::npos);
  EXPECT_TRUE(notices.empty());
}

TEST_F(PdfJobTest, AMissingFamilyIsToldOnceAndAMonospaceFamilyPrints) {
  PdfJob job(Collect(), 612, 792, fonts);
  job.SetFont("No Such Family Here", 83);
  job.SetFont("no such family here", 83);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].find("Printing in \""), 0u) << notices[0];
  EXPECT_NE(notices[0].find("the font \"No Such Family Here\" is not installed"), std::string::npos)
      << notices[0];
  EXPECT_EQ(notices[0].find("which has no fixed pitch"), std::string::npos) << notices[0];
}

TEST_F(PdfJobTest, AFailedWriteEndsTheDocumentAndFinishSaysSo) {
  int writes = 0;
  PdfJob job(
      [&writes](const char*, size_t) {
        ++writes;
        return false;
      },
      612, 792, fonts);
  job.SetFont("Courier", 83);
  for (int page = 0; page < 3; ++page) {
    job.StartPage();
    job.DrawText(0, 0, "text");
    job.EndPage();
  }
  EXPECT_EQ(job.Finish(), "the document could not be sent");
  EXPECT_EQ(writes, 1);
}

TEST_F(PdfJobTest, AJobNotFinishedWritesNothingMoreWhenDestroyed) {
  size_t before = 0;
  {
    PdfJob job(Collect(), 612, 792, fonts);
    job.SetFont("Courier", 83);
    job.StartPage();
    job.DrawText(0, 0, "text");
    before = pdf.size();
  }
  EXPECT_EQ(pdf.size(), before);
  EXPECT_EQ(pdf.find("%%EOF"), std::string::npos);
}

}  // namespace
}  // namespace tavrin
