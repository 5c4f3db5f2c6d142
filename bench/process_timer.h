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
  // With `sample_tree`: the largest sum, sampled every 2 ms, of the
  // proportional set size (Pss) of the process and every process it started
  // (a page that forked processes share counted once), in KiB.
  long tree_peak_kib = 0;
  int exit_code = -1;
};

// Runs `work` in a forked child process whose exit status is its result.
// `sample_tree` also samples the memory of the child and its descendants
// (which costs time: its wall-clock figure is not the one to quote).
Measurement MeasureInChild(const std::function<int()>& work, bool sample_tree = false);

// Runs `argv` in folder `cwd` with standard output sent to `stdout_path`
// (/dev/null by default) and standard error discarded.
Measurement RunMeasured(const std::vector<std::string>& argv, const std::string& cwd,
                        const std::string& stdout_path = "/dev/null", bool sample_tree = false);

// The median of `values` (not empty).
double Median(std::vector<double> values);

}  // namespace tavrin::bench

#endif  // TAVRIN_BENCH_PROCESS_TIMER_H_
