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

  std::vector<std::string> statuses;  // every SetStatus and SetRecordStatus, in order
  std::vector<Position> positions;    // every SetRecordStatus, in order
  std::vector<int> progress;          // every SetProgress, in order
  std::vector<Box> boxes;
  std::vector<Timed> timed;
  std::string stdout_text;
  std::vector<std::string> notices;
  int failures = 0;
  bool stop = false;

  std::string status() const { return statuses.empty() ? "" : statuses.back(); }

  void SetStatus(const std::string& text) override { statuses.push_back(text); }
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
  void Notice(const std::string& text) override { notices.push_back(text); }
  void RecordFailure() override { ++failures; }
  bool StopRequested() const override { return stop; }
};

}  // namespace tavrin

#endif  // TAVRIN_RUN_FAKE_RUN_HOST_H_
