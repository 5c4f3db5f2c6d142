// The INI text: parse, set a key, write back. The first line of the input
// names "section TAB key TAB value TAB other-section TAB other-key"; the rest
// is the file. A write that can be stored must read back as written and
// leave every other key as it was.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_env.h"
#include "platform/profile/profile_text.h"
#include "platform/text/ascii.h"

namespace {

using namespace tavrin;

bool SameName(std::string_view a, std::string_view b) {
  return text::EqualsIgnoreAsciiCase(TrimProfileBlanks(a), TrimProfileBlanks(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Text(data, size);
  const size_t nl = input.find('\n');
  const std::string_view head = input.substr(0, nl);
  const std::string text(nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1));
  std::vector<std::string_view> names;
  for (size_t at = 0; names.size() < 5;) {
    const size_t tab = head.find('\t', at);
    names.push_back(head.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
    if (tab == std::string_view::npos) break;
    at = tab + 1;
  }
  names.resize(5);
  const std::string_view section = TrimProfileBlanks(names[0]), key = TrimProfileBlanks(names[1]);
  const std::string_view value = names[2];
  const auto before = ReadProfileText(text, names[3], names[4]);
  if (!StorableInProfile(section, key, value)) return 0;
  const std::string after = WriteProfileText(text, section, key, value);
  // A value with blanks around it or in quotes reads back without them.
  const bool plain = TrimProfileBlanks(value) == value &&
                     !(value.size() >= 2 && value.front() == value.back() &&
                       (value.front() == '"' || value.front() == '\''));
  if (plain && ReadProfileText(after, section, key) != std::string(value)) std::abort();
  if (!(SameName(names[3], section) && SameName(names[4], key)) && ReadProfileText(after, names[3], names[4]) != before)
    std::abort();
  // Writing the same again changes nothing.
  if (plain && WriteProfileText(after, section, key, value) != after) std::abort();
  return 0;
}
