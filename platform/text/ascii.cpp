#include "platform/text/ascii.h"

#include <algorithm>

namespace tavrin::text {

std::string AsciiLowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

bool StartsWithIgnoreAsciiCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreAsciiCase(s.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view s, std::string_view set) {
  const size_t first = s.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(set) - first + 1);
}

}  // namespace tavrin::text
