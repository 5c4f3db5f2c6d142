#ifndef TAVRIN_BENCH_PROCESS_TIMER_H_
#define TAVRIN_BENCH_PROCESS_TIMER_H_

// Runs a command as a child process and measures its wall-clock and CPU
// time and its peak resident memory, for the benchmarks.

#include <functional>
#include <string>
#include <vector>

namespace tavrin::bench {

struct Measurement {
  double seconds = 0;      // wall clock
  double cpu_seconds = 0;  // user and system time of the child
  long max_rss_kib = 0;
  int exit_code = -1;
};

// Runs `work` in a forked child process whose exit status is its result.
Measurement MeasureInChild(const std::function<int()>& work);

// Runs `argv` in folder `cwd` with standard output sent to `stdout_path`
// (/dev/null by default) and standard error discarded.
Measurement RunMeasured(const std::vector<std::string>& argv, const std::string& cwd,
                        const std::string& stdout_path = "/dev/null");

// The median of `values` (not empty).
double Median(std::vector<double> values);

}  // namespace tavrin::bench

#endif  // TAVRIN_BENCH_PROCESS_TIMER_H_
