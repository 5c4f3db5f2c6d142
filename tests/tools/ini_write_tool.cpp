// ini_write_tool FILE N: sets Key1..KeyN of section "Crash" of FILE to
// Value1..ValueN, one write at a time, and prints each key's name on its own
// line once its write has returned. The crash test kills it at random
// moments and checks the file against what it printed.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/profile/profile.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ini_write_tool FILE N\n");
    return 2;
  }
  const std::string file = argv[1];
  const int count = std::atoi(argv[2]);
  tavrin::ProfileStore* store = tavrin::DefaultProfileStore();
  for (int i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    if (!store->WriteString("Crash", "Key" + n, "Value" + n, file)) {
      std::fprintf(stderr, "cannot write %s: %s\n", file.c_str(), std::strerror(errno));
      return 1;
    }
    // Unbuffered, so a line is out as soon as its write has returned.
    const std::string line = "Key" + n + "\n";
    if (write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      return 1;
    }
  }
  return 0;
}
