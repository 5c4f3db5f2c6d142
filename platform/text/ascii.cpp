#include "platform/text/ascii.h"

namespace tavrin::text {

std::string AsciiLowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string_view Trim(std::string_view s, std::string_view set) {
  const size_t first = s.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(set) - first + 1);
}

}  // namespace tavrin::text
