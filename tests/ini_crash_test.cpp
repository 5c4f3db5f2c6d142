// Kills a process in the middle of its INI writes, again and again, and
// checks that the file it leaves is always whole and holds every key the
// process had reported as written.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

std::string WriteToolPath() {
  const char* env = std::getenv("TAVRIN_INI_WRITE_TOOL");
  if (env != nullptr && *env != '\0') return env;
  return TAVRIN_INI_WRITE_TOOL;
}

// Starts the tool, kills it after `delay` (counted from its first reported
// write when `after_first_write`, so slow builds still get killed mid-run),
// and returns what it printed.
std::string RunAndKill(const std::string& tool, const std::string& ini,
                       std::chrono::microseconds delay, bool after_first_write) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "<pipe failed>";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    execl(tool.c_str(), tool.c_str(), ini.c_str(), "100000", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string printed;
  char buf[4096];
  ssize_t n;
  while (after_first_write && printed.find('\n') == std::string::npos &&
         (n = read(out[0], buf, sizeof buf)) > 0)
    printed.append(buf, static_cast<size_t>(n));
  std::this_thread::sleep_for(delay);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  while ((n = read(out[0], buf, sizeof buf)) > 0) printed.append(buf, static_cast<size_t>(n));
  close(out[0]);
  return printed;
}

// The whole file after the first `keys` writes, given what it held before.
std::string Expected(const std::string& before, int keys) {
  if (keys == 0) return before;
  const std::string eol = before.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string text = before.empty() ? "" : before + eol;
  text += "[Crash]" + eol;
  for (int i = 1; i <= keys; ++i) {
    text += "Key" + std::to_string(i) + "=Value" + std::to_string(i) + eol;
  }
  return text;
}

TEST(IniCrashTest, KilledWriterNeverLeavesATornFileOrLosesAReportedKey) {
  const std::string tool = WriteToolPath();
  ASSERT_TRUE(FileExists(tool)) << tool;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delay_us(0, 25000);

  int most_keys = 0;
  for (int iteration = 0; iteration < 200; ++iteration) {
    TempDir dir;
    const std::string ini = dir / "TavrinReport.ini";
    // Half the runs start from a Windows-made file that must survive intact.
    const std::string before = iteration % 2 ? "; kept\r\n[Other]\r\nkeep = 1\r\n" : "";
    if (!before.empty()) WriteFile(ini, before);

    const std::string printed = RunAndKill(tool, ini, std::chrono::microseconds(delay_us(rng)),
                                            iteration % 4 < 2);
    int reported = 0;
    std::string whole_lines;
    while (printed.size() > whole_lines.size()) {
      whole_lines += "Key" + std::to_string(++reported) + "\n";
    }
    ASSERT_EQ(printed, whole_lines) << "the tool printed more than whole lines Key1..KeyN";
    most_keys = std::max(most_keys, reported);

    if (!FileExists(ini)) {
      ASSERT_EQ(reported, 0) << "iteration " << iteration;
      ASSERT_TRUE(before.empty());
      continue;
    }
    // The key being written when the kill came may or may not have landed.
    const std::string text = ReadFile(ini);
    ASSERT_TRUE(text == Expected(before, reported) || text == Expected(before, reported + 1))
        << "iteration " << iteration << ", " << reported << " keys reported, file:\n"
        << text;
  }
  EXPECT_GT(most_keys, 0) << "the tool was never killed after a write";
}

}  // namespace
}  // namespace tavrin::test
