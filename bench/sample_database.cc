#include "bench/sample_database.h"

#include "tools/jet4_writer.h"

namespace tavrin::bench {

void WriteSampleDatabase(const std::string& path, int rows, jet4::SampleShape shape) {
  jet4::Writer w(path);
  w.BeginTable("Org", jet4::OrgColumns());
  jet4::SampleOrgSource source(2026, shape);
  for (int i = 0; i < rows; ++i) w.AddRow(source.Next());
  w.EndTable();
  w.Finish();
}

}  // namespace tavrin::bench
