#include "tests/tds_test_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavrin::test {
namespace {

std::string MakeTempDir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

std::string FreeTdsDriverPath() { return TAVRIN_TDSODBC_DRIVER; }

TdsTestServer::TdsTestServer(const std::string& script_json) : dir_(MakeTempDir("tavrin-tds")) {
  const std::string script = dir_ + "/script.json";
  Write(script, script_json);
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  const std::string log = dir_ + "/events.log";
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execlp("python3", "python3", TAVRIN_TDS_SERVER_SCRIPT, "--script", script.c_str(), "--log",
           log.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // The first line is "PORT n".
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  if (pid_ < 0 || std::sscanf(line.c_str(), "PORT %d", &port_) != 1) {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    throw std::runtime_error("the TDS test server did not start: " + line);
  }
}

TdsTestServer::~TdsTestServer() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<TdsEvent> TdsTestServer::Events() const {
  std::ifstream in(dir_ + "/events.log", std::ios::binary);
  std::vector<TdsEvent> events;
  std::string header;
  while (std::getline(in, header)) {
    std::istringstream fields(header);
    TdsEvent e;
    size_t length = 0;
    if (!(fields >> e.kind >> e.connection >> e.seconds >> length)) break;
    e.text.resize(length);
    in.read(e.text.data(), static_cast<std::streamsize>(length));
    in.get();  // the line feed after the payload
    events.push_back(std::move(e));
  }
  return events;
}

std::vector<std::string> TdsTestServer::Texts(const std::string& kind) const {
  std::vector<std::string> texts;
  for (const TdsEvent& e : Events())
    if (e.kind == kind) texts.push_back(e.text);
  return texts;
}

std::vector<std::string> TdsTestServer::TextsOnceThere(const std::string& kind, size_t count) const {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::vector<std::string> texts = Texts(kind);
  while (texts.size() < count && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    texts = Texts(kind);
  }
  return texts;
}

PrivateOdbcSetup::PrivateOdbcSetup(const std::vector<std::string>& extra_driver_names)
    : dir_(MakeTempDir("tavrin-odbc")) {
  std::string odbcinst;
  std::vector<std::string> names = {"FreeTDS"};
  names.insert(names.end(), extra_driver_names.begin(), extra_driver_names.end());
  for (const std::string& name : names)
    odbcinst += "[" + name + "]\nDriver=" + FreeTdsDriverPath() + "\n\n";
  Write(dir_ + "/odbcinst.ini", odbcinst);
  Write(dir_ + "/odbc.ini", "");
  Write(dir_ + "/freetds.conf", "[global]\n");
}

PrivateOdbcSetup::~PrivateOdbcSetup() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::map<std::string, std::string> PrivateOdbcSetup::Environment() const {
  return {{"ODBCSYSINI", dir_}, {"ODBCINI", dir_ + "/odbc.ini"}, {"FREETDSCONF", dir_ + "/freetds.conf"}};
}

void PrivateOdbcSetup::Apply() const {
  for (const auto& [name, value] : Environment()) setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace tavrin::test
