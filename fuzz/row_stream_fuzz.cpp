// The parent's end of the reader child's stream over bytes that a subverted
// child might send: fed whole, then again cut in small pieces. Both must end
// the same way (the same refusal, or the same tables), and every row taken
// must be well formed and readable cell by cell.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_env.h"
#include "platform/ado/access/failure.h"
#include "platform/ado/access/row_stream.h"

namespace {

using namespace tavrin::ado::access;

// What a stream left behind, in a form two runs can compare.
struct Outcome {
  std::string refusal;
  bool finished = false;
  std::optional<ProviderFailure> failure;
  std::string tables;  // names, columns, places and cells of every table
};

void Describe(const StoredTable& t, std::string& out) {
  out += t.name + '\n';
  for (const ColumnInfo& c : t.columns) {
    out += c.name;
    out += static_cast<char>('0' + static_cast<int>(c.declared));
    out += c.loaded ? '1' : '0';
  }
  const size_t cells = t.LoadedColumns();
  for (size_t r = 0; r < t.rows(); ++r) {
    const char* start = t.RowStart(r);
    const char* p = start;
    for (size_t c = 0; c < cells; ++c) {
      const StoredTable::Cell cell = StoredTable::ReadCell(p);
      CellValue(cell);
    }
    out.append(start, static_cast<size_t>(p - start));
  }
  for (uint64_t place : t.places) out += std::to_string(place) + ',';
}

Outcome Run(std::string_view bytes, size_t chunk) {
  Outcome o;
  StreamReader reader(bytes.size());
  try {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      const size_t n = std::min(chunk, bytes.size() - at);
      std::memcpy(reader.Space(n), bytes.data() + at, n);
      reader.Commit(n);
    }
  } catch (const ProviderFailure& f) {
    o.refusal = f.description;
    return o;
  }
  o.finished = reader.finished();
  o.failure = reader.failure();
  for (const auto& t : reader.tables()) Describe(*t, o.tables);
  if (StoredTable* t = reader.latest()) Describe(*t, o.tables);
  return o;
}

bool Same(const std::optional<ProviderFailure>& a, const std::optional<ProviderFailure>& b) {
  if (!a || !b) return !a && !b;
  return a->hr == b->hr && a->description == b->description && a->warnings == b->warnings && a->retry == b->retry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = tavrin::fuzz::Text(data, size);
  const Outcome whole = Run(bytes, bytes.size() + 1);
  const Outcome cut = Run(bytes, 7);
  if (whole.refusal != cut.refusal || whole.finished != cut.finished || !Same(whole.failure, cut.failure) ||
      whole.tables != cut.tables)
    std::abort();
  return 0;
}
