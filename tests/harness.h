#ifndef TAVRIN_TESTS_HARNESS_H_
#define TAVRIN_TESTS_HARNESS_H_

// Helpers for end-to-end tests: temporary folders, files, and running the
// program under test with its output captured.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::test {

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int exit_code = -1;  // the exit status, or 128 + signal number
  std::string out;     // standard output
  std::string err;     // standard error
  double seconds_after_signal = -1;  // from the SignalOn signal to the end; -1: none sent
  long peak_rss_kib = -1;            // the program's peak resident memory, from wait4
};

// A signal to send the program once its standard error holds `text`.
struct SignalOn {
  std::string text;
  int signal;
};

// What the program's standard error is.
enum class ErrorStream {
  kPipe,
  // A socket, named in $JOURNAL_STREAM as systemd names the journal's.
  kJournalSocket,
};

// Runs `program` with `args` in folder `cwd`, feeding `input` on standard
// input (closed afterwards) and capturing both outputs. Extra environment
// variables are added to the test's own, from which DISPLAY and
// WAYLAND_DISPLAY are taken out. The program runs in a process group of
// its own, which is killed whole after `timeout_seconds` (exit_code is then
// 128 + SIGKILL).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::string& input = "",
                     int timeout_seconds = 60, const std::map<std::string, std::string>& env = {},
                     const std::optional<SignalOn>& signal_on = std::nullopt,
                     ErrorStream error_stream = ErrorStream::kPipe);

// A step of a run: once the program's standard error holds `text`, after
// where the previous step's text was found, `action` runs, given the
// program's process id (to signal it, say).
struct OnError {
  std::string text;
  std::function<void(int pid)> action;
};

// Runs `program` as RunProgram does, with no input, taking `steps` in
// order as its standard error grows.
RunResult RunProgramSteps(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd, std::vector<OnError> steps, int timeout_seconds = 60);

// The program under test (TAVRIN_BIN) and the Access file writer (TAVRIN_MDB_WRITE).
std::string ReportBinary();
std::string MdbWriteBinary();

// Three organizations (one closed, one open, one delayed, a name with
// apostrophes among them) in the form WriteOrgDatabase takes.
inline constexpr char kThreeOrganizations[] =
    R"({"Record Number": 1, "Status": "Closed", "Organization Name": "Springfield Elementary", "Category": "Schools"}
{"Record Number": 2, "Status": "Open", "Organization Name": "City Hall", "Category": "Government"}
{"Record Number": 3, "Status": "Delayed", "Organization Name": "O'Brien's Daycare", "Category": "Daycare"}
)";

// Writes Vesk.mdb into `dir`: table Org with the organizations of `jsonl`,
// one JSON object a line. Throws when the writer fails.
void WriteOrgDatabase(const TempDir& dir, const std::string& jsonl);

// Writes `ini` as TavrinReport.ini into `dir` and runs the program there,
// unattended, with `args`.
RunResult RunReport(const TempDir& dir, const std::string& ini, const std::vector<std::string>& args,
                    const std::optional<SignalOn>& signal_on = std::nullopt);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

}  // namespace tavrin::test

#endif  // TAVRIN_TESTS_HARNESS_H_
