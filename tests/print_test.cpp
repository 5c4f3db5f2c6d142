// End-to-end: printed listings through a private CUPS scheduler, read back
// from the PDF files its queues write.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "output/fake_org_reader.h"
#include "output/report_generator.h"
#include "platform/env/fake_env.h"
#include "platform/print/cups_backend.h"
#include "platform/print/print_dialog.h"
#include "run/fake_run_host.h"
#include "tests/harness.h"
#include "tests/print_server.h"

namespace tavrin::test {
namespace {

// The listing's geometry in points at 600 dpi: 30 pt from the top, 40 pt
// (333 units) from the left, lines of 95 units plus 2 pt (17 units), and
// Liberation Mono's advance of 0.6 em at 83 units.
constexpr double kTop = 30.0;
constexpr double kLeft = 333 * 72.0 / 600;
constexpr double kPitch = (95 + 17) * 72.0 / 600;
constexpr double kAdvance = 0.6 * 83 * 72.0 / 600;

const char kFields[] =
    "ReportField1=[Category]\nReportFieldLength1=10\nReportFieldSort1=Yes\nReportFieldRepeat1=No\n"
    "ReportField2=[Organization Name]\nReportFieldLength2=20\nReportFieldSort2=Yes\n"
    "ReportField3=Status\nReportFieldLength3=8\n"
    "ReportField4=City\nReportFieldLength4=0\n"
    "ReportField5=Event Notes\nReportFieldLength5=12\n";

const char kHeading[] = "Category  Organization Name   Status  Event Notes";

// The line of organization `n` as printed: category 9 wide (blank when it
// repeats), name 19, status 7, notes 11.
std::string Row(int n, bool with_category) {
  char name[16];
  std::snprintf(name, sizeof name, "Org %02d", n);
  std::string line = with_category ? (n == 1 ? "Daycare  " : "Schools  ") : std::string(9, ' ');
  line += name + std::string(13, ' ') + "Closed " + "note " + std::to_string(n);
  return line;
}

class PrintTest : public testing::Test {
 protected:
  void SetUp() override {
    // 51 organizations: the first a daycare, the others schools.
    std::string rows;
    for (int n = 1; n <= 51; ++n) {
      char name[16];
      std::snprintf(name, sizeof name, "Org %02d", n);
      rows += "{\"Record Number\": " + std::to_string(n) + ", \"Category\": \"" +
              (n == 1 ? "Daycare" : "Schools") + "\", \"Organization Name\": \"" + name +
              "\", \"Status\": \"Closed\", \"City\": \"Town\", \"Event Notes\": \"note " +
              std::to_string(n) + "\"}\n";
    }
    WriteFile(dir_ / "rows.jsonl", rows);
    const RunResult w =
        RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--jsonl", "rows.jsonl"}, dir_.path());
    ASSERT_EQ(w.exit_code, 0) << w.err;
    std::string ini;
    for (const auto& [report, where] :
         std::vector<std::pair<std::string, std::string>>{{"Zero", "[Record Number] <= 0"},
                                                          {"One", "[Record Number] <= 1"},
                                                          {"Three", "[Record Number] <= 3"},
                                                          {"Fifty", "[Record Number] <= 50"},
                                                          {"FiftyOne", "ALL"}})
      ini += "[" + report + "]\nOutput=Printer\nWhere=" + where + "\n" + kFields;
    WriteFile(dir_ / "TavrinReport.ini", ini);
  }

  RunResult Print(const std::string& report, std::vector<std::string> options = {},
                  std::map<std::string, std::string> env = {}) {
    options.insert(options.begin(), "--unattended");
    options.push_back(report);
    if (env.empty()) env = server_.ClientEnv();
    return RunProgram(ReportBinary(), options, dir_.path(), "", 60, env);
  }

  // Prints `report` on `queue` and reads back its pages.
  std::vector<PrintedPage> PrintedOn(const std::string& queue, const std::string& report) {
    std::filesystem::remove(server_.OutputOf(queue));
    const RunResult r = Print(report, {"--printer", queue});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(server_.WaitForJobs()) << server_.Log();
    return ReadPrintedPages(server_.OutputOf(queue));
  }

  std::vector<std::string> Lines(const PrintedPage& page) {
    return PageLines(page, kLeft, kAdvance);
  }

  TempDir dir_;
  PrintServer server_;
};

TEST_F(PrintTest, PagesOfNoneOneFiftyAndFiftyOneOrganizations) {
  server_.AddQueue("listing");

  std::vector<PrintedPage> pages = PrintedOn("listing", "Zero");
  ASSERT_EQ(pages.size(), 1u) << server_.Log();
  EXPECT_TRUE(pages[0].words.empty());

  pages = PrintedOn("listing", "One");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(Lines(pages[0]), (std::vector<std::string>{kHeading, Row(1, true)}));

  pages = PrintedOn("listing", "Fifty");
  ASSERT_EQ(pages.size(), 2u);
  std::vector<std::string> first = Lines(pages[0]);
  ASSERT_EQ(first.size(), 51u);
  EXPECT_EQ(first[0], kHeading);
  EXPECT_EQ(first[1], Row(1, true));
  EXPECT_EQ(first[2], Row(2, true));
  EXPECT_EQ(first[3], Row(3, false));
  EXPECT_EQ(first[50], Row(50, false));
  EXPECT_EQ(Lines(pages[1]), (std::vector<std::string>{kHeading}));

  pages = PrintedOn("listing", "FiftyOne");
  ASSERT_EQ(pages.size(), 2u);
  // The repeated category stays blank on the new page's first line too.
  EXPECT_EQ(Lines(pages[1]), (std::vector<std::string>{kHeading, Row(51, false)}));
}

TEST_F(PrintTest, LinesAreWhereTheLayoutPutsThemInAFixedPitchFont) {
  server_.AddQueue("listing");
  const std::vector<PrintedPage> pages = PrintedOn("listing", "Three");
  ASSERT_EQ(pages.size(), 1u);
  const PrintedPage& page = pages[0];
  EXPECT_NEAR(page.width, 612, 0.01);
  EXPECT_NEAR(page.height, 792, 0.01);
  ASSERT_FALSE(page.words.empty());
  const PrintedWord& first = *std::min_element(
      page.words.begin(), page.words.end(), [](const PrintedWord& a, const PrintedWord& b) {
        return std::make_pair(a.y_min, a.x_min) < std::make_pair(b.y_min, b.x_min);
      });
  EXPECT_EQ(first.text, "Category");
  EXPECT_NEAR(first.y_min, kTop, 0.1);
  EXPECT_NEAR(first.x_min, 40, 0.05);

  // The tops of the lines: heading, (blank), three records.
  std::vector<double> tops;
  for (const PrintedWord& w : page.words) tops.push_back(w.y_min);
  std::sort(tops.begin(), tops.end());
  tops.erase(std::unique(tops.begin(), tops.end(), [](double a, double b) { return b - a < 0.01; }),
             tops.end());
  ASSERT_EQ(tops.size(), 4u);
  EXPECT_NEAR(tops[1] - tops[0], 2 * kPitch, 0.01);
  EXPECT_NEAR(tops[2] - tops[1], kPitch, 0.01);
  EXPECT_NEAR(tops[3] - tops[2], kPitch, 0.01);
  // One line height (the font's ascent and descent) plus 2 points, to the
  // device unit.
  const double height = first.y_max - first.y_min;
  EXPECT_GE(kPitch - height, 2.0);
  EXPECT_LE(kPitch - height, 2.0 + 2 * 72.0 / 600);

  // Fixed pitch: every word starts on a character column and is as wide as
  // its characters.
  for (const PrintedWord& w : page.words) {
    const double column = (w.x_min - kLeft) / kAdvance;
    EXPECT_NEAR(column, std::round(column), 0.01) << w.text;
    EXPECT_NEAR(w.x_max - w.x_min, static_cast<double>(w.text.size()) * kAdvance, 0.01) << w.text;
  }
}

TEST_F(PrintTest, APageTooShortForTheListingContinuesWithoutHeading) {
  server_.AddQueue("small", "A6");
  const std::vector<PrintedPage> pages = PrintedOn("small", "FiftyOne");
  // The queue's paper: 26 lines fit on an A6 page.
  ASSERT_EQ(pages.size(), 3u) << server_.Log();
  EXPECT_NEAR(pages[0].width, 297, 0.5);
  EXPECT_NEAR(pages[0].height, 420, 0.5);
  // Lines are not wrapped: what passes the right edge is lost.
  const std::string heading = "Category  Organization Name   Status  Event";
  const std::vector<std::string> first = Lines(pages[0]);
  ASSERT_EQ(first.size(), 25u);
  EXPECT_EQ(first[0], heading);
  EXPECT_EQ(first[24], Row(24, false));
  const std::vector<std::string> second = Lines(pages[1]);
  ASSERT_EQ(second.size(), 26u);
  EXPECT_EQ(second[0], Row(25, false));
  for (const PrintedWord& w : pages[1].words) EXPECT_GE(w.y_min, kTop - 0.1) << w.text;
  EXPECT_EQ(std::count_if(pages[1].words.begin(), pages[1].words.end(),
                          [](const PrintedWord& w) { return std::abs(w.y_min - kTop) < 0.1; }),
            5);  // the five words of Row(25) stand on the top line
  EXPECT_EQ(second[25], Row(50, false));
  EXPECT_EQ(Lines(pages[2]), (std::vector<std::string>{heading, Row(51, false)}));
}

// A server that takes connections and never answers.
class SilentServer {
 public:
  explicit SilentServer(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 16) != 0)
      throw std::runtime_error("cannot listen on " + path);
    thread_ = std::thread([this] {
      std::vector<int> clients;
      for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0 && !stopping_;) clients.push_back(c);
      for (int c : clients) close(c);
    });
  }
  ~SilentServer() {
    stopping_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }

 private:
  const int fd_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

TEST_F(PrintTest, EachFailureIsOneMessageTheWalkGoesOnAndTheRunFails) {
  server_.AddQueue("listing");
  server_.AddQueue("closed");
  server_.Reject("closed");
  server_.AddQueue("textonly", "Letter", false);
  SilentServer silent(dir_ / "silent.sock");
  const std::string socket = server_.ClientEnv().at("CUPS_SERVER");

  struct Case {
    std::vector<std::string> options;
    std::string server;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{},
       socket,
       "No default printer is set on the print server " + socket +
           ": name one with --printer NAME"},
      {{"--printer", "nosuch"},
       socket,
       "There is no printer \"nosuch\" on the print server " + socket +
           ". The listing is not printed."},
      {{"--printer", "closed"},
       socket,
       "The printer \"closed\" refused the job: Destination \"closed\" is not accepting jobs. The "
       "listing is not printed."},
      {{"--printer", "textonly"},
       socket,
       "The printer \"textonly\" did not take the document: Unsupported document-format "
       "\"application/pdf\". The listing is not printed."},
      {{"--printer", "listing"},
       dir_ / "none.sock",
       "The print server " + dir_ / "none.sock" +
           " cannot be reached. The listing is not printed."},
      {{"--printer", "listing"},
       dir_ / "silent.sock",
       "The print server " + dir_ / "silent.sock" + " did not answer. The listing is not printed."},
  };
  for (const Case& c : cases) {
    auto env = server_.ClientEnv();
    env["CUPS_SERVER"] = c.server;
    const RunResult r = Print("Three", c.options, env);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("[tavrin-report] " + c.message), std::string::npos) << r.err;
    size_t told = 0;
    for (size_t pos = r.err.find("not printed"); pos != std::string::npos;
         pos = r.err.find("not printed", pos + 1))
      ++told;
    // The box, and the run's summary that names its failure.
    EXPECT_EQ(told, 2u) << r.err;
    EXPECT_NE(r.err.find("Three: failed: " + c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Processing 2 of 3"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(server_.WaitForJobs());
  for (const char* queue : {"listing", "closed", "textonly"})
    EXPECT_FALSE(FileExists(server_.OutputOf(queue))) << queue;
}

TEST_F(PrintTest, TheDefaultPrinterTakesAnUnattendedListing) {
  server_.AddQueue("listing");
  server_.AddQueue("wall");
  server_.SetDefault("wall");
  EXPECT_EQ(Print("One").exit_code, 0);
  // lpoptions of the user come before the server's default.
  const std::string home = server_.ClientEnv().at("HOME");
  std::filesystem::create_directories(home + "/.cups");
  WriteFile(home + "/.cups/lpoptions", "Default listing\n");
  EXPECT_EQ(Print("Three").exit_code, 0);
  ASSERT_TRUE(server_.WaitForJobs());
  const std::vector<PrintedPage> wall = ReadPrintedPages(server_.OutputOf("wall"));
  const std::vector<PrintedPage> listing = ReadPrintedPages(server_.OutputOf("listing"));
  ASSERT_EQ(wall.size(), 1u);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(Lines(wall[0]).size(), 2u);     // One
  EXPECT_EQ(Lines(listing[0]).size(), 4u);  // Three
}

TEST_F(PrintTest, SigtermDuringAListingCancelsTheJob) {
  const RunResult w =
      RunProgram(MdbWriteBinary(), {"Big.mdb", "--sample", "20000"}, dir_.path(), "", 120);
  ASSERT_EQ(w.exit_code, 0) << w.err;
  WriteFile(dir_ / "TavrinReport.ini",
            "[Big]\nOutput=Printer\nDataPath=Big.mdb\nReportField1=Organization Name\n");
  server_.AddQueue("listing");
  auto env = server_.ClientEnv();
  // Held at the first record until the signal has come, so the listing is
  // under way however fast the machine is.
  const std::string at = "Processing 0 of 20000";
  env["TAVRIN_HOLD_AT_STATUS"] = at;
  const RunResult r = RunProgram(ReportBinary(), {"--unattended", "--printer", "listing", "Big"},
                                 dir_.path(), "", 120, env, SignalOn{at, SIGTERM});
  EXPECT_EQ(r.exit_code, 143) << r.err;
  EXPECT_TRUE(server_.WaitForJobs());
  EXPECT_FALSE(FileExists(server_.OutputOf("listing")));
}

TEST_F(PrintTest, AFailedReadCancelsAJobAlreadyUnderWay) {
  server_.AddQueue("listing");
  for (const auto& [name, value] : server_.ClientEnv()) setenv(name.c_str(), value.c_str(), 1);
  FakeEnv env;
  CIni2 ini;
  CReportDefinition def(ini, env);
  def.m_strOutput = "Printer";
  FieldInfo field;
  field.strFieldName = "Organization Name";
  field.nLength = 30;
  def.m_FieldInfoArray = {field};
  FakeOrgReader reader;
  for (int n = 0; n < 5000; ++n) {
    reader.records.emplace_back();
    reader.records.back().strOrganizationName = "Organization number " + std::to_string(n);
  }
  reader.fail_read = 4900;  // 98 pages are on their way to the server by then
  FakeRunHost host;
  CupsPrintBackend backend(nullptr);
  PresetPrintDialog dialog(backend, "listing");
  OutputServices services(host);
  services.print_backend = &backend;
  services.print_dialog = &dialog;
  CReportGenerator(def, reader, services).GenerateReport();
  EXPECT_EQ(reader.reads, 4900);
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_TRUE(server_.WaitForJobs());
  EXPECT_FALSE(FileExists(server_.OutputOf("listing")));
  EXPECT_NE(server_.Log().find("Canceled by"), std::string::npos) << server_.Log();
}

}  // namespace
}  // namespace tavrin::test
