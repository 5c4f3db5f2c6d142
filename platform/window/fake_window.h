#ifndef TAVRIN_PLATFORM_WINDOW_FAKE_WINDOW_H_
#define TAVRIN_PLATFORM_WINDOW_FAKE_WINDOW_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/window/window.h"

namespace tavrin {

// Test double of the window toolkit. Timers run in virtual time: DoModal
// calls OnInitDialog and OnActivate, then fires the dialog's timers in order
// of their deadlines without sleeping, until EndDialog or Close. Everything
// shown is recorded; message boxes are answered from a script.
//
// A modal run whose timers would tick more than max_ticks times returns -1,
// and so does one left with no timers that nobody ends within a few seconds
// of real time, so a broken dialog fails its test instead of hanging it.
//
// Thread-safe: boxes, StandardOutput, StatusChanged, EndDialog and Close may
// come from any thread. The accessors return copies.
class FakeWindow : public WindowServices {
 public:
  struct Box {
    std::string text, caption;
    BoxStyle style;
    int result;
  };

  struct Question {
    std::string text, caption;
    std::optional<std::string> answer;
  };

  // One modal run. Texts, captions and progress are recorded when they
  // change, not at every identical repeat.
  struct DialogRecord {
    int template_id = 0;
    std::vector<std::string> captions;
    std::map<int, std::vector<std::string>> control_texts;
    std::vector<int> progress;
    int ticks = 0;
    int result = 0;         // 0 while the run is under way
    int64_t started_ms = 0;  // virtual time
    int64_t ended_ms = 0;
  };

  using TickHook = std::function<void(int template_id, int timer_id)>;

  explicit FakeWindow(int max_ticks = 100000) : max_ticks_(max_ticks) {}

  // The results the next boxes return, in order; once used up, boxes
  // return OK.
  void ScriptBoxResults(std::vector<int> results);
  // The answers the next questions (AskLine) get, in order; once used up,
  // questions get no answer, as when input has ended.
  void ScriptAnswers(std::vector<std::optional<std::string>> answers);
  // Called before every tick, on the dialog's thread and with no lock held:
  // a test moves its clock, injects events or calls Close here. A run that
  // the hook ended does not get that tick.
  void SetTickHook(TickHook hook);

  // What RefreshNeeded says (by default every tick).
  void set_refresh(Refresh refresh) { refresh_ = refresh; }

  std::vector<Box> boxes() const;
  std::vector<Question> questions() const;
  std::vector<DialogRecord> dialogs() const;
  // The last run of `template_id`; an empty record if there was none.
  DialogRecord LastDialog(int template_id) const;
  std::string standard_output() const;
  std::vector<std::string> notices() const;
  // The severity of each notice, in the same order.
  std::vector<Severity> notice_severities() const;
  std::vector<std::pair<std::string, std::string>> status_changes() const;
  // The position of each status change, in the same order.
  std::vector<std::optional<RecordPosition>> status_positions() const;
  // The severity of each status change, in the same order.
  std::vector<Severity> status_severities() const;
  // Virtual milliseconds since the window was created.
  int64_t now_ms() const;
  bool closed() const;

  Refresh RefreshNeeded() const override { return refresh_; }
  int DoModal(Dialog& dialog) override;
  int MessageBox(const std::string& text, const std::string& caption, BoxStyle style) override;
  std::optional<std::string> AskLine(const std::string& text, const std::string& caption) override;
  void StandardOutput(const std::string& text) override;
  void Notice(const std::string& text, Severity severity) override;
  void StatusChanged(const std::string& report_name, const std::string& status,
                     const std::optional<RecordPosition>& position, Severity severity) override;
  void Close() override;

 private:
  class Run;

  const int max_ticks_;
  std::atomic<Refresh> refresh_{Refresh::kEveryTick};
  mutable std::mutex mu_;
  std::condition_variable cv_;  // a run without timers waits here
  std::deque<int> box_script_;
  std::deque<std::optional<std::string>> answer_script_;
  std::vector<Question> questions_;
  TickHook hook_;
  std::vector<Box> boxes_;
  std::vector<DialogRecord> dialogs_;
  std::vector<Run*> open_;
  std::string stdout_;
  std::vector<std::string> notices_;
  std::vector<Severity> notice_severities_;
  std::vector<std::pair<std::string, std::string>> statuses_;
  std::vector<std::optional<RecordPosition>> positions_;
  std::vector<Severity> status_severities_;
  int64_t now_ms_ = 0;
  bool closed_ = false;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_FAKE_WINDOW_H_
