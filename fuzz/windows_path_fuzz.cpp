// A path key's value and its mapping: the first line of the input is the
// value, the rest the INI's text, whose [Path Mapping] maps it. A usable
// path never holds a backslash (no file is ever made with one in its name),
// a refused one is kept as written, and nothing is ever written.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/windows_path.h"
#include "fuzz/fuzz_env.h"
#include "platform/profile/profile_text.h"

namespace {

using namespace tavrin;

// The INI text of the input, read as the file store reads a file.
class TextStore : public ProfileStore {
 public:
  explicit TextStore(std::string text) : text_(std::move(text)) {}
  std::string GetString(const std::string& section, const std::string& key, const std::string& default_value,
                        const std::string&) override {
    return ReadProfileText(text_, section, key).value_or(default_value);
  }
  bool WriteString(const std::string&, const std::string&, const std::string&, const std::string&) override {
    std::abort();
  }

 private:
  std::string text_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Text(data, size);
  const size_t nl = input.find('\n');
  const std::string value(input.substr(0, nl));
  TextStore store(nl == std::string_view::npos ? std::string() : std::string(input.substr(nl + 1)));
  const IniPath p = ResolveIniPath("DataPath", value, store, "TavrinReport.ini");
  if (p.value != value) std::abort();
  if (p.usable() && p.path.find('\\') != std::string::npos) std::abort();
  if (!p.usable() && p.path != value) std::abort();
  if (!p.mapping.empty() && !p.usable()) std::abort();
  return 0;
}
