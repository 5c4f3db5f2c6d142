#include "platform/text/distance.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "platform/text/ascii.h"

namespace tavrin::text {

size_t EditDistanceIgnoreAsciiCase(std::string_view a, std::string_view b) {
  // One row of the table at a time: row[j] is the distance of a's prefix
  // read so far and b's first j bytes.
  std::vector<size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), size_t{0});
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = AsciiLower(a[i - 1]) == AsciiLower(b[j - 1]);
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace tavrin::text
