#include "tests/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavrin::test {

TempDir::TempDir() {
  char tmpl[] = "/tmp/tavrin-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

}  // namespace

std::string ReportBinary() { return EnvOr("TAVRIN_BIN", TAVRIN_DEFAULT_BIN); }
std::string MdbWriteBinary() { return EnvOr("TAVRIN_MDB_WRITE", TAVRIN_DEFAULT_MDB_WRITE); }

namespace {

RunResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
              const std::string& input, int timeout_seconds, const std::map<std::string, std::string>& env,
              const std::optional<SignalOn>& signal_on, ErrorStream error_stream, std::vector<OnError> steps) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  const bool socket = error_stream == ErrorStream::kJournalSocket;
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      (socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, err_pipe)
              : pipe2(err_pipe, O_CLOEXEC)) != 0)
    throw std::runtime_error("pipe failed");
  std::map<std::string, std::string> child_env = env;
  if (socket) {
    struct stat st;
    if (fstat(err_pipe[1], &st) != 0) throw std::runtime_error("fstat failed");
    child_env["JOURNAL_STREAM"] = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A process group of its own, which the time limit ends whole: what the
    // program started (a wrapper's child, a reader) would otherwise keep the
    // pipes open, and the test waiting, for ever.
    setpgid(0, 0);
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    // Never the display of the session the tests run in: a test that wants
    // the desktop window names its display.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    for (const auto& [k, v] : child_env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) {
    close(in_pipe[1]);
    in_pipe[1] = -1;
  }
  RunResult result;
  std::chrono::steady_clock::time_point signalled_at;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool out_open = true, err_open = true;
  bool killed = false;
  bool signalled = false;
  size_t next_step = 0;
  size_t step_from = 0;  // where the next step's text is looked for
  while (out_open || err_open) {
    std::vector<pollfd> fds;
    if (out_open) fds.push_back({out_pipe[0], POLLIN, 0});
    if (err_open) fds.push_back({err_pipe[0], POLLIN, 0});
    if (in_pipe[1] >= 0) fds.push_back({in_pipe[1], POLLOUT, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 && !killed) {
      kill(-pid, SIGKILL);
      killed = true;
    }
    if (poll(fds.data(), fds.size(), left > 0 ? static_cast<int>(left) : 100) < 0) continue;
    for (const auto& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in_pipe[1]) {
        ssize_t n = write(in_pipe[1], input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 || written == input.size()) {
          close(in_pipe[1]);
          in_pipe[1] = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t n = read(p.fd, buf, sizeof buf);
      std::string& dest = p.fd == out_pipe[0] ? result.out : result.err;
      if (n > 0) {
        dest.append(buf, static_cast<size_t>(n));
        if (signal_on && !signalled && result.err.find(signal_on->text) != std::string::npos) {
          kill(pid, signal_on->signal);
          signalled = true;
          signalled_at = std::chrono::steady_clock::now();
        }
        for (size_t found; next_step < steps.size() &&
                           (found = result.err.find(steps[next_step].text, step_from)) != std::string::npos;) {
          step_from = found + steps[next_step].text.size();
          steps[next_step++].action(pid);
        }
      } else {
        (p.fd == out_pipe[0] ? out_open : err_open) = false;
      }
    }
  }
  if (in_pipe[1] >= 0) close(in_pipe[1]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  result.peak_rss_kib = usage.ru_maxrss;
  if (signalled)
    result.seconds_after_signal =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled_at).count();
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::string& input, int timeout_seconds,
                     const std::map<std::string, std::string>& env,
                     const std::optional<SignalOn>& signal_on, ErrorStream error_stream) {
  return Run(program, args, cwd, input, timeout_seconds, env, signal_on, error_stream, {});
}

RunResult RunProgramSteps(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd, std::vector<OnError> steps, int timeout_seconds) {
  return Run(program, args, cwd, "", timeout_seconds, {}, std::nullopt, ErrorStream::kPipe, std::move(steps));
}

void WriteOrgDatabase(const TempDir& dir, const std::string& jsonl) {
  WriteFile(dir / "rows.jsonl", jsonl);
  const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--jsonl", "rows.jsonl"}, dir.path());
  if (w.exit_code != 0) throw std::runtime_error("cannot write Vesk.mdb: " + w.err);
}

RunResult RunReport(const TempDir& dir, const std::string& ini, const std::vector<std::string>& args,
                    const std::optional<SignalOn>& signal_on) {
  WriteFile(dir / "TavrinReport.ini", ini);
  std::vector<std::string> all = {"--unattended"};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram(ReportBinary(), all, dir.path(), "", 60, {}, signal_on);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace tavrin::test
