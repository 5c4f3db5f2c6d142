// End-to-end: outputs that are not plain files (a FIFO, a device, standard
// output, a folder), header files that are not plain files, and texts from
// the database that look like markup.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <thread>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

// Double quotes come out of the database as single quotes.
const char kRows[] =
    R"({"Record Number": 1, "Status": "Closed \"all day\"", "Organization Name": "<script>alert(document.cookie)</script>", "Category": "K&<12> \"Schools\""}
{"Record Number": 2, "Status": "Open", "Organization Name": "Martin Hardware & Supply", "Category": "Business & Trade"}
)";

const char kCsv[] = "\"Closed 'all day'\",\"<script>alert(document.cookie)</script>\"\r\n"
                    "\"Open\",\"Martin Hardware & Supply\"\r\n";

std::string CsvReport(const std::string& output) {
  return "[List]\nOutput=CSV\nOutputFilename=" + output +
         "\nReportField1=Status\nReportField2=[Organization Name]\nReportFieldSort2=Yes\n";
}

// Runs python3 with `script` on `file`; what it prints, and its exit status.
RunResult Python(const TempDir& dir, const std::string& script, const std::string& file) {
  WriteFile(dir / "check.py", script);
  return RunProgram("/usr/bin/python3", {"check.py", file}, dir.path());
}

class OutputsTest : public testing::Test {
 protected:
  void SetUp() override { WriteOrgDatabase(dir_, kRows); }
  TempDir dir_;
};

// Reads a FIFO from before the program opens it until the program is done.
class FifoReader {
 public:
  explicit FifoReader(const std::string& path) {
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    thread_ = std::thread([this] {
      char buf[65536];
      for (;;) {
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, 100);
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
          text_.append(buf, static_cast<size_t>(n));
        } else if (done_) {
          return;
        }
      }
    });
  }
  ~FifoReader() {
    if (thread_.joinable()) Finish();
    close(fd_);
  }
  std::string Finish() {
    done_ = true;
    thread_.join();
    return text_;
  }

 private:
  int fd_;
  std::atomic<bool> done_{false};
  std::string text_;
  std::thread thread_;
};

TEST_F(OutputsTest, FifoAndStandardOutputGetTheReportAndStayWhatTheyAre) {
  const RunResult plain = RunReport(dir_, CsvReport("list.csv"), {"List"});
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  ASSERT_EQ(ReadFile(dir_ / "list.csv"), kCsv);

  {
    FifoReader reader(dir_ / "fifo");
    const RunResult r = RunReport(dir_, CsvReport("fifo"), {"List"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(reader.Finish(), kCsv);
    EXPECT_TRUE(std::filesystem::is_fifo(dir_ / "fifo"));
  }

  const RunResult out = RunReport(dir_, CsvReport("/dev/stdout"), {"List"});
  EXPECT_EQ(out.exit_code, 0) << out.err;
  EXPECT_EQ(out.out, kCsv);

  // Nobody reads the FIFO now: the output cannot be opened, and nothing waits.
  const RunResult unread = RunReport(dir_, CsvReport("fifo"), {"List"});
  EXPECT_EQ(unread.exit_code, 1);
  EXPECT_NE(unread.err.find("Could not open fifo for output - report canceled"), std::string::npos)
      << unread.err;
  EXPECT_TRUE(std::filesystem::is_fifo(dir_ / "fifo"));
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

TEST_F(OutputsTest, DeviceNodeIsWrittenAndStaysADevice) {
  if (mknod((dir_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "making a device node needs root: " << std::strerror(errno);
  const RunResult r = RunReport(dir_, CsvReport("null"), {"List"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  struct stat st;
  ASSERT_EQ(lstat((dir_ / "null").c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(OutputsTest, FolderIsRefusedAsAnOutput) {
  std::filesystem::create_directory(dir_ / "folder");
  RunResult r = RunReport(dir_, CsvReport("folder"), {"List"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("[tavrin-report] Could not open folder for output - report canceled"),
            std::string::npos)
      << r.err;
  r = RunReport(dir_, "[Page]\nOutput=HTML\nOutputFilename=folder\n", {"Page"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Can't open output file: folder");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "folder"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "folder"));
}

TEST_F(OutputsTest, HeaderThatIsADeviceIsRefusedAndTheFeedIsNotWritten) {
  WriteFile(dir_ / "tail.xml", "</feed>\n");
  const RunResult r = RunReport(
      dir_,
      "[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=/dev/zero\nTrailerFile=tail.xml\n"
      "ReportField1=Status\n",
      {"Feed"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("[tavrin-report] Could not open /dev/zero for reading - HeaderFile is a "
                       "character device, not a regular file"),
            std::string::npos)
      << r.err;
  // A feed without its header is not published.
  EXPECT_FALSE(FileExists(dir_ / "feed.xml"));
}

const char kHtmlTexts[] = R"(import sys, html.parser
class Texts(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.texts, self.current = [], None
    def handle_starttag(self, tag, attrs):
        if tag in ('h4', 'p'):
            self.current = []
    def handle_endtag(self, tag):
        if tag in ('h4', 'p') and self.current is not None:
            self.texts.append(''.join(self.current))
            self.current = None
    def handle_data(self, data):
        if self.current is not None:
            self.current.append(data)
parser = Texts()
parser.feed(open(sys.argv[1], encoding='utf-8', newline='').read())
parser.close()
sys.stdout.write('\n'.join(parser.texts))
)";

TEST_F(OutputsTest, PageTextsReadBackAsTheDatabaseHoldsThem) {
  const RunResult r = RunReport(
      dir_, "[Page]\nOutput=HTML\nOutputFilename=page.html\nReportField1=[Category]\nReportFieldSort1=Yes\n",
      {"Page"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const RunResult texts = Python(dir_, kHtmlTexts, "page.html");
  ASSERT_EQ(texts.exit_code, 0) << texts.err;
  EXPECT_EQ(texts.out,
            "Business & Trade\nMartin Hardware & Supply is Open\n"
            "K&<12> 'Schools'\n<script>alert(document.cookie)</script> is Closed 'all day'");
  // The configured pieces stand as written.
  const std::string page = ReadFile(dir_ / "page.html");
  EXPECT_EQ(page.substr(0, 34), "<html>\r\n<body bgcolor=\"#C0C0C0\">\r\n");
  EXPECT_NE(page.find("<p><font color=\"#0000FF\">Martin Hardware &amp; Supply is Open</font></p>\r\n"),
            std::string::npos)
      << page;
}

const char kXmlTexts[] = R"(import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
sys.stdout.write('\n'.join('|'.join(field.text or '' for field in record) for record in root))
)";

TEST_F(OutputsTest, XmlFeedParsesWhenEscapingIsAskedFor) {
  WriteFile(dir_ / "head.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feed>\n");
  WriteFile(dir_ / "tail.xml", "</feed>\n");
  const std::string report =
      "[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=head.xml\nTrailerFile=tail.xml\n"
      "ReportField1=Organization Name\nReportFieldXMLDelimiterOpen1=<org>\n"
      "ReportFieldXMLDelimiterClose1=</org>\nReportField2=Status\nReportField3=[Category]\n"
      "ReportFieldSort3=Yes\nReportFieldXMLDelimiterOpen3=<category>\n"
      "ReportFieldXMLDelimiterClose3=</category>\n";

  // As it always was: the texts as they stand, which no XML parser takes.
  RunResult r = RunReport(dir_, report, {"Feed"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(ReadFile(dir_ / "feed.xml").find("        <org>Martin Hardware & Supply</org>\r\n"),
            std::string::npos);
  EXPECT_NE(Python(dir_, kXmlTexts, "feed.xml").exit_code, 0);
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini").find("XMLEscapeText"), std::string::npos);

  r = RunReport(dir_, report + "XMLEscapeText=Yes\n", {"Feed"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const RunResult texts = Python(dir_, kXmlTexts, "feed.xml");
  ASSERT_EQ(texts.exit_code, 0) << texts.err;
  EXPECT_EQ(texts.out,
            "Martin Hardware & Supply|Open|Business & Trade\n"
            "<script>alert(document.cookie)</script>|Closed 'all day'|K&<12> 'Schools'");
}

// Every text column of table Org, as the report names them.
const char* const kTextColumns[] = {
    "Event Notes",  "Status",           "ID Code",          "Pin Code",      "Organization Name",
    "Permanent Notes", "Town\\City",    "County",           "Web Address",   "Category",
    "Contact Name", "Street Address 1", "Street Address 2", "Zip Code",      "City",
    "State",        "Daytime Phone",    "Evening Phone",    "Other Phone",   "E-mail Address",
    "Fax Number"};

TEST_F(OutputsTest, XmlFeedOfControlCharactersInEveryColumnIsWellFormedWhenEscaped) {
  if (access("/usr/bin/xmllint", X_OK) != 0) GTEST_SKIP() << "xmllint is not installed (libxml2-utils)";
  // Every character XML does not allow, in JSON's escapes: NUL, the other C0
  // controls but tab, line feed and carriage return, U+FFFE and U+FFFF.
  std::string forbidden = "\\u0000";
  for (int c = 1; c < 0x20; ++c) {
    if (c == '\t' || c == '\n' || c == '\r') continue;
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", c);
    forbidden += escape;
  }
  forbidden += "\\ufffe\\uffff";
  std::string row = R"({"Record Number": 1)";
  std::string report =
      "[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=head.xml\nTrailerFile=tail.xml\n";
  int n = 0;
  for (const char* column : kTextColumns) {
    row += std::string(", \"") + (std::string(column) == "Town\\City" ? "Town\\\\City" : column) +
           "\": \"a" + forbidden + "&<b>\"";
    const std::string i = std::to_string(++n);
    report += "ReportField" + i + "=[" + column + "]\nReportFieldXMLDelimiterOpen" + i + "=<f" + i +
              ">\nReportFieldXMLDelimiterClose" + i + "=</f" + i + ">\n";
  }
  WriteOrgDatabase(dir_, row + "}\n");
  WriteFile(dir_ / "head.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feed>\n");
  WriteFile(dir_ / "tail.xml", "</feed>\n");

  // The bytes as they stand, which XML refuses.
  RunResult r = RunReport(dir_, report, {"Feed"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(ReadFile(dir_ / "feed.xml").find("\x01\x02\x03"), std::string::npos);
  EXPECT_NE(RunProgram("/usr/bin/xmllint", {"--noout", "feed.xml"}, dir_.path()).exit_code, 0);

  r = RunReport(dir_, report + "XMLEscapeText=Yes\n", {"Feed"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const RunResult lint = RunProgram("/usr/bin/xmllint", {"--noout", "feed.xml"}, dir_.path());
  EXPECT_EQ(lint.exit_code, 0) << lint.err;
  // Each forbidden character became one U+FFFD; the markup reads back as text.
  const RunResult texts = Python(dir_, kXmlTexts, "feed.xml");
  ASSERT_EQ(texts.exit_code, 0) << texts.err;
  std::string replaced;
  for (size_t i = 0; i < forbidden.size() / 6; ++i) replaced += "\xEF\xBF\xBD";
  std::string expected;
  for (size_t i = 0; i < std::size(kTextColumns); ++i) expected += (i ? "|a" : "a") + replaced + "&<b>";
  EXPECT_EQ(texts.out, expected);
}

}  // namespace
}  // namespace tavrin::test
