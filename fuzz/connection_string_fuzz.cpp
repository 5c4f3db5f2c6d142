// The connection-string parser and the choice of provider it feeds.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_env.h"
#include "platform/ado/access/access_provider.h"
#include "platform/ado/provider.h"
#include "platform/text/ascii.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrin;
  const std::string text(fuzz::Text(data, size));
  for (const auto& [key, value] : ado::ParseConnectionString(text)) {
    // Keys come lower-cased and trimmed, and never hold the separator.
    if (key != text::AsciiLowered(key) || text::Trim(key, " \t") != key || key.find(';') != std::string::npos)
      std::abort();
    if (key == "provider") ado::IsAccessProviderName(value);
  }
  return 0;
}
