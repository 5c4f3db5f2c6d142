// The OLE date conversions. Each 8 bytes of the input are a day count and
// each 24 bytes six calendar fields: what converts one way must convert
// back to the same.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/ado/oledate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrin;
  for (size_t at = 0; at + sizeof(double) <= size; at += sizeof(double)) {
    double v;
    std::memcpy(&v, data + at, sizeof v);
    // Between -1 and 0 the scale repeats the first day (-0.25 is 0.25).
    const double linear = OleDateToLinear(v);
    if (std::isfinite(v) && std::fabs(v) < 1e7 && (v <= -1 || v >= 0) &&
        std::fabs(LinearToOleDate(linear) - v) > 1e-6)
      std::abort();
    const auto tm = OleDateToTm(v);
    if (!tm) continue;
    const auto back = TmToOleDate(*tm);
    if (!back) std::abort();
    const auto again = OleDateToTm(*back);
    if (!again || again->tm_year != tm->tm_year || again->tm_mon != tm->tm_mon || again->tm_mday != tm->tm_mday ||
        again->tm_hour != tm->tm_hour || again->tm_min != tm->tm_min || again->tm_sec != tm->tm_sec)
      std::abort();
  }
  for (size_t at = 0; at + 6 * sizeof(int32_t) <= size; at += 6 * sizeof(int32_t)) {
    int32_t f[6];
    std::memcpy(f, data + at, sizeof f);
    std::tm fields{};
    fields.tm_year = f[0];
    fields.tm_mon = f[1];
    fields.tm_mday = f[2];
    fields.tm_hour = f[3];
    fields.tm_min = f[4];
    fields.tm_sec = f[5];
    if (const auto ole = TmToOleDate(fields)) OleDateToTm(*ole);
  }
  return 0;
}
