#ifndef TAVRIN_BENCH_SAMPLE_DATABASE_H_
#define TAVRIN_BENCH_SAMPLE_DATABASE_H_

#include <string>

#include "tools/jet4_writer.h"

namespace tavrin::bench {

// Writes an Access file at `path` whose table Org holds `rows` sample
// organizations (the same ones for every call). Streamed, so the process
// stays small: measured children forked from it would otherwise count its
// pages in their peak memory.
void WriteSampleDatabase(const std::string& path, int rows, jet4::SampleShape shape = jet4::SampleShape::kShort);

}  // namespace tavrin::bench

#endif  // TAVRIN_BENCH_SAMPLE_DATABASE_H_
