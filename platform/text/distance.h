#ifndef TAVRIN_PLATFORM_TEXT_DISTANCE_H_
#define TAVRIN_PLATFORM_TEXT_DISTANCE_H_

#include <cstddef>
#include <string_view>

namespace tavrin::text {

// The edit distance of `a` and `b` ignoring ASCII letter case: the fewest
// single-byte insertions, deletions and substitutions that turn one into the
// other. Costs time of the product of the lengths: meant for short names.
size_t EditDistanceIgnoreAsciiCase(std::string_view a, std::string_view b);

}  // namespace tavrin::text

#endif  // TAVRIN_PLATFORM_TEXT_DISTANCE_H_
