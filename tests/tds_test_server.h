#ifndef TAVRIN_TESTS_TDS_TEST_SERVER_H_
#define TAVRIN_TESTS_TDS_TEST_SERVER_H_

// The TDS test server (tests/tds_server.py) as tests and benchmarks use it:
// started on 127.0.0.1 with a port the system chooses, answering as a JSON
// script says, and recording what it received. Also a private ODBC set-up,
// so that the driver name "FreeTDS" resolves without the system's
// registration and nothing of the machine's own FreeTDS configuration
// applies.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tavrin::test {

// One event the server recorded (see tests/tds_server.py).
struct TdsEvent {
  std::string kind;  // "login", "batch", "attention", "action", "close"
  int connection = 0;
  double seconds = 0;  // since the server started
  std::string text;
};

class TdsTestServer {
 public:
  // Starts the server with `script_json` (see tds_server.py). Throws
  // std::runtime_error when it does not start.
  explicit TdsTestServer(const std::string& script_json = "{}");
  // Stops the server (the process it started, by its id).
  ~TdsTestServer();
  TdsTestServer(const TdsTestServer&) = delete;
  TdsTestServer& operator=(const TdsTestServer&) = delete;

  int port() const { return port_; }

  // Everything recorded so far, in order.
  std::vector<TdsEvent> Events() const;
  // The texts of the events of one kind, in order.
  std::vector<std::string> Texts(const std::string& kind) const;
  // Texts(kind) once it holds at least `count` texts, or as it stands after
  // 5 seconds. For what the server records after the client has gone (a
  // connection's close), which may come a moment after the program ended.
  std::vector<std::string> TextsOnceThere(const std::string& kind, size_t count) const;

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A folder with odbcinst.ini registering "FreeTDS" (and the other names
// given) for the FreeTDS driver's library, an empty odbc.ini and an empty
// freetds.conf; removed on destruction.
class PrivateOdbcSetup {
 public:
  explicit PrivateOdbcSetup(const std::vector<std::string>& extra_driver_names = {});
  ~PrivateOdbcSetup();
  PrivateOdbcSetup(const PrivateOdbcSetup&) = delete;
  PrivateOdbcSetup& operator=(const PrivateOdbcSetup&) = delete;

  // ODBCSYSINI, ODBCINI and FREETDSCONF pointing into the folder.
  std::map<std::string, std::string> Environment() const;
  // Sets them in this process (before its first ODBC call).
  void Apply() const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// The FreeTDS driver's library file.
std::string FreeTdsDriverPath();

}  // namespace tavrin::test

#endif  // TAVRIN_TESTS_TDS_TEST_SERVER_H_
