#ifndef TAVRIN_OUTPUT_OUTPUT_TEST_SUPPORT_H_
#define TAVRIN_OUTPUT_OUTPUT_TEST_SUPPORT_H_

// Helpers shared by the output tests: a scratch folder, whole-file reads and
// writes, and a report definition that tests fill in directly.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/ini2.h"
#include "config/report_definition.h"
#include "platform/fake_env.h"

namespace tavrin::test {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/tmp/tavrin-output-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A report definition with no INI behind it: tests set its members.
struct TestDefinition {
  FakeEnv env;
  CIni2 ini;
  CReportDefinition def{ini, env};
};

}  // namespace tavrin::test

#endif  // TAVRIN_OUTPUT_OUTPUT_TEST_SUPPORT_H_
