// Times the printed listing: rendering it to PDF in memory against writing
// the same lines (FormatPrintLine, with the heading every 50 records) to a
// text file, the layout work without the drawing.
//
//   build/bench/print_bench [--rows N] [--runs R]
//
// N sample organizations (default 10,000), sorted by category and name as a
// report's query would give them, printed with four fields; each case runs
// R times (default 7) in a child process of its own, in turn.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench/process_timer.h"
#include "config/ini2.h"
#include "config/report_definition.h"
#include "data/org_info.h"
#include "output/field_values.h"
#include "output/printer_output.h"
#include "output/report_generator.h"
#include "platform/env/env.h"
#include "platform/print/pdf_job.h"
#include "platform/print/print_dialog.h"
#include "tools/jet4_writer.h"

namespace {

using tavrin::FieldInfo;
using tavrin::tagORG_INFO;

std::vector<tagORG_INFO> SampleOrgs(int count) {
  std::vector<tagORG_INFO> orgs;
  for (const auto& row : tavrin::jet4::SampleOrgRows(count, 2026)) {
    tagORG_INFO& org = orgs.emplace_back();
    for (size_t i = 0; i < row.size(); ++i) {
      const tavrin::OrgColumn& column = tavrin::kOrgColumns[i];
      if (column.number != nullptr) {
        if (const auto* n = std::get_if<int64_t>(&row[i]))
          org.*column.number = static_cast<int32_t>(*n);
      } else if (column.text != nullptr) {
        if (const auto* s = std::get_if<std::string>(&row[i])) org.*column.text = *s;
      } else if (const auto* d = std::get_if<tavrin::jet4::DateValue>(&row[i])) {
        org.*column.date = {d->ole, tavrin::COleDateTime::valid};
      } else {
        org.*column.date = {0.0, tavrin::COleDateTime::null};
      }
    }
  }
  std::stable_sort(orgs.begin(), orgs.end(), [](const tagORG_INFO& a, const tagORG_INFO& b) {
    return std::tie(a.strCategory, a.strOrganizationName) <
           std::tie(b.strCategory, b.strOrganizationName);
  });
  return orgs;
}

class VectorReader : public tavrin::OrgReader {
 public:
  explicit VectorReader(const std::vector<tagORG_INFO>& orgs) : orgs_(orgs) {}
  int32_t GetRecordCount() override { return static_cast<int32_t>(orgs_.size()); }
  bool GetFirstOrg(tagORG_INFO& org) override {
    next_ = 0;
    return GetNextOrg(org);
  }
  bool GetNextOrg(tagORG_INFO& org) override {
    if (next_ >= orgs_.size()) return false;
    org = orgs_[next_++];
    return true;
  }

 private:
  const std::vector<tagORG_INFO>& orgs_;
  size_t next_ = 0;
};

class QuietHost : public tavrin::RunHost {
 public:
  void SetStatus(const std::string&) override {}
  void SetFailureStatus(const std::string&) override { failed = true; }
  void SetRecordStatus(const std::string&, int32_t, int32_t) override {}
  void SetProgress(int) override {}
  int MessageBox(const std::string& text, const std::string&, tavrin::BoxStyle) override {
    std::fprintf(stderr, "%s\n", text.c_str());
    return tavrin::kIdOk;
  }
  void ShowTimedMessage(const std::string&, int) override {}
  void StandardOutput(const std::string&) override {}
  void Notice(const std::string&, tavrin::Severity) override {}
  void RecordFailure() override { failed = true; }
  void SourceChanged() override { failed = true; }
  bool StopRequested() const override { return false; }
  bool failed = false;
};

// Printing into memory: one printer whose jobs are PDFs kept in `pdf`.
class MemoryPrinter : public tavrin::PrintBackend {
 public:
  std::string ServerName() const override { return "memory"; }
  tavrin::DestinationList ListDestinations() override { return {{{"memory", "", true}}, ""}; }
  std::unique_ptr<tavrin::PrintJob> StartJob(const std::string&, const std::string&,
                                             std::string&) override {
    pdf.clear();
    return std::make_unique<tavrin::PdfJob>(
        [this](const char* data, size_t size) {
          pdf.append(data, size);
          return true;
        },
        612, 792, fonts_);
  }
  std::string pdf;

 private:
  tavrin::PrintFonts fonts_{nullptr};
};

struct Listing {
  size_t pages = 0;
  size_t bytes = 0;
};

// The listing through the report driver into a PDF in memory.
Listing RenderPdf(const tavrin::CReportDefinition& def, const std::vector<tagORG_INFO>& orgs) {
  MemoryPrinter printer;
  tavrin::PresetPrintDialog dialog(printer, "");
  QuietHost host;
  tavrin::OutputServices services(host);
  services.print_backend = &printer;
  services.print_dialog = &dialog;
  VectorReader reader(orgs);
  tavrin::CReportGenerator(def, reader, services).GenerateReport();
  Listing listing;
  listing.bytes = printer.pdf.size();
  for (size_t pos = printer.pdf.find("/Type /Page "); pos != std::string::npos;
       pos = printer.pdf.find("/Type /Page ", pos + 1))
    ++listing.pages;
  return host.failed ? Listing{} : listing;
}

// The same lines, headings included, into a text file.
Listing WriteText(const tavrin::CReportDefinition& def, const std::vector<tagORG_INFO>& orgs,
                  const std::string& path) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return {};
  const std::string heading = tavrin::FormatPrintHeading(def.m_FieldInfoArray) + "\n \n";
  tagORG_INFO previous;
  Listing listing;
  // As the listing: a heading first and after every fiftieth record.
  for (size_t i = 0; i < orgs.size(); ++i) {
    if (i % 50 == 0) {
      std::fputs(heading.c_str(), out);
      ++listing.pages;
    }
    const std::string line =
        tavrin::FormatPrintLine(def.m_FieldInfoArray, def.m_nXMLDateFormat, orgs[i], previous) +
        "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    previous = orgs[i];
  }
  if (!orgs.empty() && orgs.size() % 50 == 0) {
    std::fputs(heading.c_str(), out);
    ++listing.pages;
  }
  listing.bytes = static_cast<size_t>(std::ftell(out));
  std::fclose(out);
  return listing;
}

}  // namespace

int main(int argc, char** argv) {
  int rows = 10000;
  int runs = 7;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--rows") rows = std::atoi(argv[i + 1]);
    if (opt == "--runs") runs = std::atoi(argv[i + 1]);
  }
  tavrin::CIni2 ini;
  tavrin::CReportDefinition def(ini, *tavrin::Env::Default());
  def.m_strOutput = "Printer";
  // A category heading the groups (blank when it repeats), then the name.
  for (const auto& [name, length, sort, repeat] :
       {std::tuple("[Category]", 16, true, false),
        std::tuple("[Organization Name]", 36, true, true), std::tuple("Status", 20, false, true),
        std::tuple("Town\\City", 16, false, true)}) {
    FieldInfo& field = def.m_FieldInfoArray.emplace_back();
    field.strFieldName = name;
    field.nLength = length;
    field.bSort = sort;
    field.bRepeat = repeat;
  }
  const std::vector<tagORG_INFO> orgs = SampleOrgs(rows);
  const std::string text_path = "/tmp/tavrin-print-bench-" + std::to_string(getpid()) + ".txt";

  const Listing pdf = RenderPdf(def, orgs);
  const Listing text = WriteText(def, orgs, text_path);
  if (pdf.pages == 0 || text.bytes == 0) {
    std::fprintf(stderr, "the listing could not be made\n");
    return 1;
  }
  std::printf("%d organizations, 4 fields (84 characters a record line), %d runs per case\n", rows,
              runs);

  const std::vector<std::pair<std::string, std::function<int()>>> cases = {
      {"FormatPrintLine to a text file",
       [&] { return WriteText(def, orgs, text_path).bytes ? 0 : 1; }},
      {"listing to PDF in memory", [&] { return RenderPdf(def, orgs).pages ? 0 : 1; }},
  };
  std::map<std::string, std::vector<double>> times, cpu;
  for (int r = 0; r < runs; ++r) {
    for (const auto& [name, work] : cases) {
      const tavrin::bench::Measurement m = tavrin::bench::MeasureInChild(work);
      if (m.exit_code != 0) {
        std::fprintf(stderr, "%s failed\n", name.c_str());
        return 1;
      }
      times[name].push_back(m.seconds);
      cpu[name].push_back(m.cpu_seconds);
    }
  }
  std::remove(text_path.c_str());

  const double baseline = tavrin::bench::Median(times[cases[0].first]);
  std::printf("%-32s %10s %8s %8s %8s %10s\n", "case", "median s", "ratio", "cpu s", "pages",
              "bytes");
  const Listing made[] = {text, pdf};
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string& name = cases[i].first;
    const double median = tavrin::bench::Median(times[name]);
    std::printf("%-32s %10.4f %8.2f %8.4f %8zu %10zu\n", name.c_str(), median, median / baseline,
                tavrin::bench::Median(cpu[name]), made[i].pages, made[i].bytes);
  }
  return 0;
}
