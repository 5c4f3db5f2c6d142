#include "output/xml_output.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

#include "output/output_test_support.h"
#include "platform/fs/fake_file_system.h"

namespace tavrin {
namespace {

using namespace test;

TEST_F(ReportTest, XmlBlocksBetweenHeaderAndTrailer) {
  def().m_strOutput = "Xml";
  def().m_strHeaderFile = dir / "header.txt";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strHeaderFile, "<?xml?>\n\n<list>");  // empty line, no last line end
  WriteWholeFile(def().m_strTrailerFile, "</list>\r\n<!-- end -->\r\n");
  FieldInfo name = Field("organization name");
  name.strXMLDelimiterOpen = "[";
  name.strXMLDelimiterClose = "]";
  def().m_FieldInfoArray = {Field("status"), name};
  reader.records = {Org(" A&B <1> ", "\tClosed "), Org("Clark", "Open")};
  Generate();
  EXPECT_EQ(Output(),
            "<?xml?>\r\n\r\n<list>\r\n"
            "    <name>\r\n"
            "        <status>Closed</status>\r\n"
            "        [A&B <1>]\r\n"
            "    </name>\r\n"
            "    <name>\r\n"
            "        <status>Open</status>\r\n"
            "        [Clark]\r\n"
            "    </name>\r\n"
            "</list>\r\n<!-- end -->\r\n");
  EXPECT_TRUE(host.boxes.empty());

  // Asked for, the texts are escaped; the delimiters stand as written.
  def().m_bXMLEscapeText = true;
  Generate();
  EXPECT_NE(Output().find("        [A&amp;B &lt;1&gt;]\r\n"), std::string::npos) << Output();
  EXPECT_NE(Output().find("<status>Closed</status>"), std::string::npos);
}

TEST_F(ReportTest, EscapedTextsHoldOnlyCharactersXmlAllows) {
  def().m_strOutput = "Xml";
  def().m_FieldInfoArray = {Field("status"), Field("organization name")};
  reader.records = {Org(std::string("A\0B\x01<C>", 7), "Closed\fearly\tto\x1B")};
  // As they stand without escaping; with it, each forbidden character is U+FFFD.
  Generate();
  EXPECT_NE(Output().find("<organization name>" + std::string("A\0B\x01<C>", 7) + "</organization name>"),
            std::string::npos);
  EXPECT_NE(Output().find("<status>Closed\fearly\tto\x1B</status>"), std::string::npos);
  def().m_bXMLEscapeText = true;
  Generate();
  EXPECT_NE(Output().find("<organization name>A\xEF\xBF\xBD" "B\xEF\xBF\xBD&lt;C&gt;</organization name>"),
            std::string::npos)
      << Output();
  EXPECT_NE(Output().find("<status>Closed\xEF\xBF\xBD" "early\tto\xEF\xBF\xBD</status>"), std::string::npos);
}

TEST_F(ReportTest, HeaderAndTrailerMustBeRegularFiles) {
  def().m_strOutput = "XML";
  def().m_strHeaderFile = dir / "fifo";
  ASSERT_EQ(mkfifo(def().m_strHeaderFile.c_str(), 0600), 0);  // no writer: opening it would block
  def().m_strTrailerFile = dir.path();
  reader.records = {Org("A", "Open")};
  Generate();
  EXPECT_EQ(BoxTexts(),
            (Texts{"Could not open " + dir / "fifo" + " for reading - HeaderFile is a FIFO, not a regular file",
                   "Could not open " + dir.path() + " for reading - TrailerFile is a folder, not a regular file"}));
  EXPECT_FALSE(Exists(def().m_strOutputFilename));  // a feed without its header is not published
  EXPECT_EQ(host.notices,
            (Texts{"[] HeaderFile = \"" + dir / "fifo" +
                       "\": cannot be read: it is a FIFO, not a regular file; " + dir / "report.out" +
                       " was not written",
                   "[] TrailerFile = \"" + dir.path() +
                       "\": cannot be read: it is a folder, not a regular file; " + dir / "report.out" +
                       " was not written"}));

  host = FakeRunHost();
  def().m_strHeaderFile = "/dev/zero";
  def().m_strTrailerFile.clear();
  Generate();
  EXPECT_EQ(BoxTexts(),
            Texts{"Could not open /dev/zero for reading - HeaderFile is a character device, not a regular file"});
}

TEST_F(ReportTest, HeaderIsCopiedInPiecesLineEndsAcrossThemToo) {
  def().m_strOutput = "XML";
  def().m_strHeaderFile = dir / "header.txt";
  // One line longer than a piece, its CR LF split between two pieces, then
  // a last line without a line end.
  const std::string long_line(64 * 1024 - 1, 'a');
  WriteWholeFile(def().m_strHeaderFile, long_line + "\r\n" + long_line + long_line + "\nz");
  reader.records.clear();
  Generate();
  EXPECT_EQ(Output(), long_line + "\r\n" + long_line + long_line + "\r\nz\r\n");
}

// Answers the first `allowed` stop questions with no, every later one with yes.
class StopAfterAsks : public FakeRunHost {
 public:
  explicit StopAfterAsks(int allowed) : allowed_(allowed) {}
  bool StopRequested() const override { return asks_++ >= allowed_; }

 private:
  const int allowed_;
  mutable int asks_ = 0;
};

TEST(CopyTextFileTest, StopEndsTheCopyBetweenPieces) {
  ScratchDir dir;
  WriteWholeFile(dir / "big", std::string(3 * 64 * 1024, 'x'));
  StopAfterAsks host(1);
  FileSystem& files = *FileSystem::Default();
  auto out = PublishedFile::Create(files, dir / "out");
  ASSERT_NE(out, nullptr);
  std::string why;
  EXPECT_EQ(CopyTextFile(files, dir / "big", "HeaderFile", *out, host, &why), CopyEnd::kStopped);
  ASSERT_TRUE(out->Publish());
  EXPECT_EQ(ReadWholeFile(dir / "out"), std::string(64 * 1024, 'x'));  // one piece, no more
}

TEST_F(ReportTest, XmlWithoutFieldsOrRecords) {
  def().m_strOutput = "XML";
  def().m_strHeaderFile = dir / "header.txt";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strHeaderFile, "head\r\n");
  WriteWholeFile(def().m_strTrailerFile, "tail\r");  // a CR not before a line feed stays
  def().m_FieldInfoArray.clear();
  reader.records = {tagORG_INFO()};
  Generate();
  EXPECT_EQ(Output(), "head\r\n    <name>\r\n    </name>\r\ntail\r\r\n");

  reader.records.clear();
  Generate();
  EXPECT_EQ(Output(), "head\r\ntail\r\r\n");
}

// A feed without its header or trailer would replace the good one that its
// readers have: the boxes and statuses are as ever, and the old file stays.
TEST_F(ReportTest, MissingHeaderOrTrailerKeepsThePreviousFeed) {
  def().m_strReportName = "Feed";
  def().m_strOutput = "XML";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strTrailerFile, "tail\n");
  const std::string previous = "<feed>\r\n  good\r\n</feed>\r\n";
  for (const char* missing : {"header", "trailer"}) {
    SCOPED_TRACE(missing);
    host = FakeRunHost();
    WriteWholeFile(def().m_strOutputFilename, previous);
    const std::string absent = dir / "no-such.txt";
    const bool header = std::string(missing) == "header";
    def().m_strHeaderFile = header ? absent : "";
    def().m_strTrailerFile = header ? dir / "trailer.txt" : absent;
    Generate();
    const std::string box = "Could not open " + absent + " for reading";
    EXPECT_EQ(BoxTexts(), Texts{box});
    EXPECT_EQ(host.failure_statuses, Texts{box});
    // The walk goes on as before: its statuses follow (or precede) the box.
    EXPECT_EQ(host.statuses.size(), 5u);
    EXPECT_EQ(Output(), previous);
    EXPECT_EQ(host.failures, 1);
    ASSERT_EQ(host.notices.size(), 1u);
    EXPECT_EQ(host.notices[0], std::string("[Feed] ") + (header ? "HeaderFile" : "TrailerFile") + " = \"" +
                                   absent + "\": cannot be read: No such file or directory; " +
                                   def().m_strOutputFilename + " is kept as it was");
    EXPECT_EQ(host.notice_severities[0], Severity::kError);
  }
  // Nothing was left in the folder but the files the test wrote.
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 2u);
}

using Op = FakeFileSystem::Op;

struct PieceFailure {
  const char* key;  // the INI key of the file that cannot be read
  Op op;
  int err;
  const char* name;
};

// The header or trailer file cannot be read: it vanished before it was
// opened, its permission is refused, or a read fails. The previous feed
// stays, and the box and the notice say which file and why.
class XmlPieceReadFailureTest : public ReportTest, public testing::WithParamInterface<PieceFailure> {};

TEST_P(XmlPieceReadFailureTest, KeepsThePreviousFeedAndNamesTheFile) {
  const PieceFailure failure = GetParam();
  def().m_strOutput = "XML";
  def().m_strHeaderFile = dir / "header.txt";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strHeaderFile, "head\n");
  WriteWholeFile(def().m_strTrailerFile, "tail\n");
  WriteWholeFile(def().m_strOutputFilename, "previous");
  const std::string key = failure.key;
  const std::string failing = key == "HeaderFile" ? def().m_strHeaderFile : def().m_strTrailerFile;
  FakeFileSystem files;
  files.Fail(failure.op, failure.err, failing);
  CReportGenerator(def(), reader, OutputServices(host, files)).GenerateReport();
  EXPECT_EQ(BoxTexts(), Texts{failure.op == Op::kRead ? "Could not read " + failing
                                                      : "Could not open " + failing + " for reading"});
  EXPECT_EQ(host.notices, Texts{"[] " + key + " = \"" + failing + "\": cannot be read: " +
                                std::strerror(failure.err) + "; " + def().m_strOutputFilename +
                                " is kept as it was"});
  EXPECT_EQ(Output(), "previous");
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 3u);  // no temporary file beside the three
}

INSTANTIATE_TEST_SUITE_P(
    EachPieceAndFailure, XmlPieceReadFailureTest,
    testing::Values(PieceFailure{"HeaderFile", Op::kOpenForReading, ENOENT, "HeaderGone"},
                    PieceFailure{"HeaderFile", Op::kOpenForReading, EACCES, "HeaderRefused"},
                    PieceFailure{"HeaderFile", Op::kRead, EIO, "HeaderReadFails"},
                    PieceFailure{"TrailerFile", Op::kOpenForReading, ENOENT, "TrailerGone"},
                    PieceFailure{"TrailerFile", Op::kOpenForReading, EACCES, "TrailerRefused"},
                    PieceFailure{"TrailerFile", Op::kRead, EIO, "TrailerReadFails"}),
    [](const testing::TestParamInfo<PieceFailure>& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tavrin
