#include "tests/print_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavrin::test {
namespace {

using namespace std::chrono_literals;

constexpr char kCupsd[] = "/usr/sbin/cupsd";
constexpr char kLpadmin[] = "/usr/sbin/lpadmin";
constexpr char kCupsReject[] = "/usr/sbin/cupsreject";
constexpr char kLpstat[] = "/usr/bin/lpstat";
constexpr char kPdftotext[] = "/usr/bin/pdftotext";
constexpr char kPdftopdf[] = "/usr/lib/cups/filter/pdftopdf";

void Require(const char* path, const char* package) {
  if (access(path, X_OK) != 0)
    throw std::runtime_error(std::string("the printing tests need ") + path + " (package " +
                             package + "): run scripts/setup.sh");
}

// The driver of the file queue that README.md describes; a queue that
// takes only plain text gets another filter line.
std::string Ppd(bool accepts_pdf) {
  std::string ppd = ReadFile(std::string(TAVRIN_SOURCE_DIR) + "/demo/listing-to-file.ppd");
  if (ppd.empty()) throw std::runtime_error("demo/listing-to-file.ppd is missing");
  if (!accepts_pdf) {
    const std::string pdf = "\"application/vnd.cups-pdf application/pdf 0 -\"";
    ppd.replace(ppd.find(pdf), pdf.size(), "\"text/plain text/plain 0 -\"");
  }
  return ppd;
}

std::string XmlText(std::string s) {
  static const std::pair<const char*, const char*> kEntities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  for (const auto& [entity, ch] : kEntities) {
    for (size_t pos = s.find(entity); pos != std::string::npos; pos = s.find(entity, pos + 1))
      s.replace(pos, std::string(entity).size(), ch);
  }
  return s;
}

}  // namespace

PrintServer::PrintServer() {
  Require(kCupsd, "cups-daemon");
  Require(kLpadmin, "cups-client");
  Require(kLpstat, "cups-client");
  Require(kPdftopdf, "cups-core-drivers");
  Require(kPdftotext, "poppler-utils");
  const std::string d = dir_.path();
  for (const char* sub : {"etc", "spool", "spool/tmp", "state", "cache", "log", "out", "home"})
    std::filesystem::create_directories(dir_ / sub);
  // Filters run as the scheduler's user "lp" when the test runs as root.
  using std::filesystem::perms;
  std::filesystem::permissions(d, perms::owner_all | perms::group_read | perms::group_exec |
                                      perms::others_read | perms::others_exec);
  WriteFile(dir_ / "etc/cups-files.conf",
            "ServerRoot " + d + "/etc\nRequestRoot " + d + "/spool\nTempDir " + d +
                "/spool/tmp\nStateDir " + d + "/state\nCacheDir " + d + "/cache\nErrorLog " + d +
                "/log/error_log\nAccessLog " + d + "/log/access_log\nPageLog " + d +
                "/log/page_log\nLogFileGroup root\nSystemGroup root\nFileDevice Yes\nPrintcap " +
                d + "/state/printcap\n");
  WriteFile(dir_ / "etc/cupsd.conf",
            "LogLevel info\nListen " + d +
                "/cups.sock\nBrowsing No\nBrowseLocalProtocols none\n"
                "WebInterface No\nDefaultAuthType None\nDefaultEncryption Never\nMaxLogSize 0\n"
                "ErrorPolicy abort-job\nPreserveJobHistory Yes\n"
                "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const std::string conf = d + "/etc/cupsd.conf", files = d + "/etc/cups-files.conf";
    // cupsd's own chatter would clutter the test log.
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    execl(kCupsd, kCupsd, "-f", "-c", conf.c_str(), "-s", files.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  auto env = ClientEnv();
  env["LC_ALL"] = "C";
  for (int i = 0; i < 200; ++i) {
    if (RunProgram(kLpstat, {"-r"}, d, "", 10, env).out.find("scheduler is running") !=
        std::string::npos)
      return;
    std::this_thread::sleep_for(25ms);
  }
  throw std::runtime_error("the private cupsd did not start:\n" + Log());
}

PrintServer::~PrintServer() {
  if (pid_ <= 0) return;
  // A short grace, then KILL: a test server has nothing to save.
  kill(pid_, SIGTERM);
  for (int i = 0; i < 20; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(10ms);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::map<std::string, std::string> PrintServer::ClientEnv() const {
  return {{"CUPS_SERVER", dir_ / "cups.sock"}, {"HOME", dir_ / "home"}};
}

std::string PrintServer::OutputOf(const std::string& name) const {
  return dir_ / ("out/" + name + ".pdf");
}

std::string PrintServer::Log() const { return ReadFile(dir_ / "log/error_log"); }

void PrintServer::Client(const std::string& program, const std::vector<std::string>& args) const {
  const RunResult r = RunProgram(program, args, dir_.path(), "", 30, ClientEnv());
  if (r.exit_code != 0)
    throw std::runtime_error(program + " failed (" + std::to_string(r.exit_code) + "): " + r.err);
}

void PrintServer::AddQueue(const std::string& name, const std::string& page_size,
                           bool accepts_pdf) {
  const std::string ppd = dir_ / (name + ".ppd");
  WriteFile(ppd, Ppd(accepts_pdf));
  Client(kLpadmin, {"-p", name, "-E", "-v", "file://" + OutputOf(name), "-P", ppd, "-o",
                    "PageSize=" + page_size});
}

void PrintServer::SetDefault(const std::string& name) { Client(kLpadmin, {"-d", name}); }

void PrintServer::Reject(const std::string& name) { Client(kCupsReject, {name}); }

bool PrintServer::WaitForJobs() const {
  auto env = ClientEnv();
  env["LC_ALL"] = "C";
  for (int i = 0; i < 600; ++i) {
    const RunResult r = RunProgram(kLpstat, {"-o"}, dir_.path(), "", 10, env);
    if (r.exit_code == 0 && r.out.empty()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

std::vector<PrintedPage> ReadPrintedPages(const std::string& path) {
  std::vector<PrintedPage> pages;
  if (!FileExists(path)) return pages;
  const RunResult r = RunProgram(kPdftotext, {"-bbox", path, "-"}, "/", "", 30);
  if (r.exit_code != 0) return pages;
  static const std::regex kPage(R"re(<page width="([0-9.]+)" height="([0-9.]+)">)re");
  static const std::regex kWord(
      R"re(<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="([0-9.]+)" yMax="([0-9.]+)">(.*)</word>)re");
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, kPage)) {
      pages.push_back({std::stod(m[1]), std::stod(m[2]), {}});
    } else if (std::regex_search(line, m, kWord) && !pages.empty()) {
      pages.back().words.push_back(
          {std::stod(m[1]), std::stod(m[2]), std::stod(m[3]), std::stod(m[4]), XmlText(m[5])});
    }
  }
  return pages;
}

std::vector<std::string> PageLines(const PrintedPage& page, double left, double advance) {
  std::map<long, std::string> by_top;  // hundredths of a point
  std::vector<PrintedWord> words = page.words;
  std::sort(words.begin(), words.end(),
            [](const PrintedWord& a, const PrintedWord& b) { return a.x_min < b.x_min; });
  for (const PrintedWord& w : words) {
    std::string& line = by_top[std::lround(w.y_min * 100)];
    const auto column = static_cast<size_t>(std::max(0L, std::lround((w.x_min - left) / advance)));
    if (line.size() < column) line.resize(column, ' ');
    line += w.text;
  }
  std::vector<std::string> lines;
  for (auto& [top, line] : by_top) lines.push_back(std::move(line));
  return lines;
}

}  // namespace tavrin::test
