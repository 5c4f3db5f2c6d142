#include "bench/process_timer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tavrin::bench {
namespace {

// The Pss of process `pid` and of all its descendants, in KiB; 0 for a
// process that has just ended.
long TreePss(pid_t pid) {
  long total = 0;
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(rollup, line);) {
    if (line.rfind("Pss:", 0) != 0) continue;
    total += std::atol(line.c_str() + 4);
    break;
  }
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream children(task.path() / "children");
    for (pid_t child; children >> child;) total += TreePss(child);
  }
  return total;
}

}  // namespace

Measurement MeasureInChild(const std::function<int()>& work, bool sample_tree) {
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) _exit(work());
  int status = 0;
  rusage usage{};
  long tree_peak = 0;
  if (sample_tree) {
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
      tree_peak = std::max(tree_peak, TreePss(pid));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  } else {
    wait4(pid, &status, 0, &usage);
  }
  Measurement m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  m.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  m.max_rss_kib = usage.ru_maxrss;
  m.tree_peak_kib = tree_peak;
  m.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return m;
}

Measurement RunMeasured(const std::vector<std::string>& argv, const std::string& cwd,
                        const std::string& stdout_path, bool sample_tree) {
  return MeasureInChild([&] {
    const int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out, 1);
    dup2(null, 2);
    if (chdir(cwd.c_str()) != 0) return 126;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    return 127;
  }, sample_tree);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace tavrin::bench
