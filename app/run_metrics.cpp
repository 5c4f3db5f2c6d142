#include "app/run_metrics.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "platform/fs/atomic_file.h"
#include "platform/fs/paths.h"
#include "platform/fs/temp_names.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

constexpr RunOutcome kOutcomes[] = {RunOutcome::kCompleted, RunOutcome::kFailed, RunOutcome::kStopped,
                                    RunOutcome::kRefused};

// A label value: backslash, quotation mark and line feed escaped, and a
// byte that is not UTF-8 as U+FFFD, as the format requires.
std::string LabelValue(const std::string& s) {
  std::string out;
  for (size_t at = 0; at < s.size();) {
    const text::Utf8Char c = text::DecodeUtf8(s, at);
    if (!c.valid) {
      text::AppendUtf8(text::kReplacementChar, &out);
    } else if (s[at] == '\\') {
      out += "\\\\";
    } else if (s[at] == '"') {
      out += "\\\"";
    } else if (s[at] == '\n') {
      out += "\\n";
    } else {
      out.append(s, at, c.length);
    }
    at += c.length;
  }
  return out;
}

// Milliseconds since 1970 as seconds, exactly.
std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64 ".%03d", ms / 1000, static_cast<int>(ms % 1000));
  return text;
}

struct Family {
  const char* name;
  const char* type;
  const char* help;
  // Appends the samples of one report, each line after `labels`.
  std::function<void(const JobState&, const std::string& labels, std::string*)> samples;
};

void Sample(std::string* out, const char* name, const std::string& labels, const std::string& value) {
  *out += std::string(name) + "{" + labels + "} " + value + "\n";
}

}  // namespace

std::string MetricsText(const std::vector<JobState>& reports) {
  const Family families[] = {
      {"tavrin_report_last_run_timestamp_seconds", "gauge", "When the last run of the report ended.",
       [](const JobState& s, const std::string& l, std::string* out) {
         if (s.last_run) Sample(out, "tavrin_report_last_run_timestamp_seconds", l, Seconds(s.last_run->ended_ms));
       }},
      {"tavrin_report_last_success_timestamp_seconds", "gauge", "When the last completed run of the report ended.",
       [](const JobState& s, const std::string& l, std::string* out) {
         if (s.last_success)
           Sample(out, "tavrin_report_last_success_timestamp_seconds", l, Seconds(s.last_success->ended_ms));
       }},
      {"tavrin_report_last_run_outcome", "gauge",
       "The outcome of the last run of the report: 1 for its outcome, 0 for the others.",
       [](const JobState& s, const std::string& l, std::string* out) {
         if (!s.last_run) return;
         for (RunOutcome outcome : kOutcomes) {
           Sample(out, "tavrin_report_last_run_outcome",
                  l + ",outcome=\"" + std::string(OutcomeName(outcome)) + "\"",
                  s.last_run->outcome == outcome ? "1" : "0");
         }
       }},
      {"tavrin_report_last_run_organizations", "gauge", "Organizations the last run of the report wrote.",
       [](const JobState& s, const std::string& l, std::string* out) {
         if (s.last_run) Sample(out, "tavrin_report_last_run_organizations", l, std::to_string(s.last_run->count));
       }},
      {"tavrin_report_last_run_duration_seconds", "gauge", "How long the last run of the report took.",
       [](const JobState& s, const std::string& l, std::string* out) {
         if (!s.last_run) return;
         char value[32];
         std::snprintf(value, sizeof value, "%.3f", s.last_run->seconds);
         Sample(out, "tavrin_report_last_run_duration_seconds", l, value);
       }},
      {"tavrin_report_runs_total", "counter", "Runs of the report, by outcome.",
       [](const JobState& s, const std::string& l, std::string* out) {
         if (!s.last_run) return;
         for (RunOutcome outcome : kOutcomes) {
           const auto it = s.totals.find(outcome);
           Sample(out, "tavrin_report_runs_total", l + ",outcome=\"" + std::string(OutcomeName(outcome)) + "\"",
                  std::to_string(it == s.totals.end() ? 0 : it->second));
         }
       }},
      {"tavrin_report_next_due_timestamp_seconds", "gauge", "When the schedule has the report next due.",
       [](const JobState& s, const std::string& l, std::string* out) {
         if (s.next_due) Sample(out, "tavrin_report_next_due_timestamp_seconds", l, std::to_string(*s.next_due));
       }},
  };
  std::string text;
  for (const Family& family : families) {
    std::string samples;
    for (const JobState& report : reports)
      family.samples(report, "report=\"" + LabelValue(report.job) + "\"", &samples);
    if (samples.empty()) continue;
    text += std::string("# HELP ") + family.name + " " + family.help + "\n";
    text += std::string("# TYPE ") + family.name + " " + family.type + "\n";
    text += samples;
  }
  return text;
}

std::string WriteMetricsFile(FileSystem& files, const std::string& path, const std::string& text) {
  const auto fail = [&path](int err) { return "cannot write " + path + ": " + std::strerror(err); };
  std::string target;
  if (const int err = fs::FollowLinks(path, &target)) return fail(err);
  struct stat st {};
  const bool exists = files.Stat(target, &st) == 0;
  std::unique_ptr<fs::AtomicFile> file;
  int err = fs::AtomicFile::Create(target, fs::TempNameFor(target), exists ? &st : nullptr, &file, files);
  if (err == 0) err = file->Write(text);
  if (err == 0) {
    fs::RemoveDeadWritersTemps(target);
    err = file->Commit();
  }
  return err == 0 ? "" : fail(err);
}

}  // namespace tavrin
