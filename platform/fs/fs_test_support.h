#ifndef TAVRIN_PLATFORM_FS_FS_TEST_SUPPORT_H_
#define TAVRIN_PLATFORM_FS_FS_TEST_SUPPORT_H_

// For tests only: a scratch folder removed with everything in it, and
// whole-file reads and writes.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace tavrin::test {

// A new folder under /tmp, removed with its content when the object goes.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/tmp/tavrin-test-XXXXXX";
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

// The bytes of the file at `path`; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace tavrin::test

#endif  // TAVRIN_PLATFORM_FS_FS_TEST_SUPPORT_H_
