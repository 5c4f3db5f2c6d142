#ifndef TAVRIN_PLATFORM_ADO_ACCESS_OUTPUT_CAPTURE_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_OUTPUT_CAPTURE_H_

#include <cstdio>
#include <string>
#include <vector>

namespace tavrin::ado::access {

// Points the C library's `stdout` and `stderr` at a buffer in memory while
// it lives, so that what libmdb prints becomes error entries and never
// reaches the user's terminal or log. File descriptors 1 and 2 are left as
// they are (a sanitizer's report still gets out). Replacing the two streams
// is safe only in a process with one thread: the reader's child, a fuzzer.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // The lines printed since the start or the previous call, at most ten and
  // a line that counts the rest. Text beyond the buffer's 64 KiB is lost.
  std::vector<std::string> Take();

 private:
  std::FILE* stream_ = nullptr;
  std::FILE* saved_out_ = nullptr;
  std::FILE* saved_err_ = nullptr;
  char buffer_[65536];
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_OUTPUT_CAPTURE_H_
