#ifndef TAVRIN_RUN_FAKE_RUN_HOST_H_
#define TAVRIN_RUN_FAKE_RUN_HOST_H_

#include <string>
#include <vector>

#include "run/run_host.h"

namespace tavrin {

// Test double of RunHost: records everything, answers every box with OK.
class FakeRunHost : public RunHost {
 public:
  struct Box {
    std::string text, caption;
    BoxStyle style;
  };
  struct Timed {
    std::string text;
    int seconds;
  };
  struct Position {
    int32_t index, count;
    bool operator==(const Position&) const = default;
  };

  std::vector<std::string> statuses;  // every status set, in order
  std::vector<std::string> failure_statuses;  // those set by SetFailureStatus
  std::vector<Position> positions;    // every SetRecordStatus, in order
  std::vector<int> progress;          // every SetProgress, in order
  std::vector<Box> boxes;
  std::vector<Timed> timed;
  std::string stdout_text;
  std::vector<std::string> notices;
  std::vector<Severity> notice_severities;  // of each notice, in the same order
  int failures = 0;
  int source_changes = 0;  // SourceChanged calls, each also a failure
  bool stop = false;

  std::string status() const { return statuses.empty() ? "" : statuses.back(); }

  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void SetFailureStatus(const std::string& text) override {
    RecordFailure();
    statuses.push_back(text);
    failure_statuses.push_back(text);
  }
  void SetRecordStatus(const std::string& text, int32_t index, int32_t count) override {
    statuses.push_back(text);
    positions.push_back({index, count});
  }
  void SetProgress(int percent) override { progress.push_back(percent); }
  int MessageBox(const std::string& text, const std::string& caption,
                 BoxStyle style) override {
    boxes.push_back({text, caption, style});
    return kIdOk;
  }
  void ShowTimedMessage(const std::string& text, int seconds) override {
    timed.push_back({text, seconds});
  }
  void StandardOutput(const std::string& text) override { stdout_text += text; }
  void Notice(const std::string& text, Severity severity) override {
    notices.push_back(text);
    notice_severities.push_back(severity);
  }
  void RecordFailure() override { ++failures; }
  void SourceChanged() override {
    RecordFailure();
    ++source_changes;
  }
  bool StopRequested() const override { return stop; }
};

}  // namespace tavrin

#endif  // TAVRIN_RUN_FAKE_RUN_HOST_H_
