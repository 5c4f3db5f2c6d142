#include "platform/window/fake_window.h"

#include <algorithm>
#include <chrono>
#include <optional>

namespace tavrin {

namespace {
// How long a run with no timers waits in real time for another thread to
// end it before it gives up.
constexpr auto kIdleLimit = std::chrono::seconds(5);

template <typename T>
void RecordChange(std::vector<T>& seen, const T& value) {
  if (seen.empty() || seen.back() != value) seen.push_back(value);
}
}  // namespace

// The host of one modal run. All its state is guarded by the window's mutex.
class FakeWindow::Run : public DialogHost {
 public:
  Run(FakeWindow& window, Dialog& dialog, size_t record)
      : window_(window), dialog_(dialog), record_(record) {}
  ~Run() override { dialog_.OnDestroy(); }

  // Fires timers in virtual time until the run ends; returns its result.
  int Loop() {
    std::unique_lock<std::mutex> lock(window_.mu_);
    while (!result_) {
      if (timers_.empty()) {
        if (!window_.cv_.wait_for(lock, kIdleLimit,
                                  [this] { return result_.has_value() || !timers_.empty(); }))
          result_ = -1;
        continue;
      }
      if (record().ticks >= window_.max_ticks_) {
        result_ = -1;
        break;
      }
      auto next = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
      });
      // A timer that fell due while a nested run took the clock further
      // fires now, once.
      window_.now_ms_ = std::max(window_.now_ms_, next->due);
      next->due = window_.now_ms_ + next->period;
      const int id = next->id;
      const TickHook hook = window_.hook_;
      lock.unlock();
      if (hook) hook(dialog_.TemplateId(), id);
      lock.lock();
      if (result_) break;
      ++record().ticks;
      lock.unlock();
      dialog_.OnTimer(*this, id);
      lock.lock();
    }
    return *result_;
  }

  bool ended() const {
    std::lock_guard<std::mutex> lock(window_.mu_);
    return result_.has_value();
  }

  // Ends the run; the caller holds the window's mutex.
  void EndLocked(int result) {
    if (result_) return;
    result_ = result;
    window_.cv_.notify_all();
  }

  void SetTimer(int id, int period_ms) override {
    std::lock_guard<std::mutex> lock(window_.mu_);
    const int64_t period = std::max(period_ms, 1);
    const int64_t due = window_.now_ms_ + period;
    auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
    if (it == timers_.end()) {
      timers_.push_back({id, period, due, next_order_++});
    } else {
      it->period = period;
      it->due = due;
    }
    window_.cv_.notify_all();
  }
  void SetNextTick(int id, int64_t delay_ms) override {
    std::lock_guard<std::mutex> lock(window_.mu_);
    auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
    if (it == timers_.end()) return;
    it->due = window_.now_ms_ + std::max<int64_t>(delay_ms, 0);
    window_.cv_.notify_all();
  }
  void SetCaption(const std::string& text) override {
    std::lock_guard<std::mutex> lock(window_.mu_);
    RecordChange(record().captions, text);
  }
  void SetControlText(int control_id, const std::string& text) override {
    std::lock_guard<std::mutex> lock(window_.mu_);
    RecordChange(record().control_texts[control_id], text);
  }
  void SetProgress(int percent) override {
    std::lock_guard<std::mutex> lock(window_.mu_);
    RecordChange(record().progress, percent);
  }
  void EndDialog(int result) override {
    std::lock_guard<std::mutex> lock(window_.mu_);
    EndLocked(result);
  }

  DialogRecord& record() { return window_.dialogs_[record_]; }

 private:
  struct Timer {
    int id;
    int64_t period;
    int64_t due;
    int order;  // deadlines that tie fire in the order the timers were set
  };

  FakeWindow& window_;
  Dialog& dialog_;
  const size_t record_;
  std::vector<Timer> timers_;
  int next_order_ = 0;
  std::optional<int> result_;
};

void FakeWindow::ScriptBoxResults(std::vector<int> results) {
  std::lock_guard<std::mutex> lock(mu_);
  box_script_.assign(results.begin(), results.end());
}

void FakeWindow::ScriptAnswers(std::vector<std::optional<std::string>> answers) {
  std::lock_guard<std::mutex> lock(mu_);
  answer_script_.assign(answers.begin(), answers.end());
}

void FakeWindow::SetTickHook(TickHook hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_ = std::move(hook);
}

std::vector<FakeWindow::Box> FakeWindow::boxes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return boxes_;
}

std::vector<FakeWindow::Question> FakeWindow::questions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return questions_;
}

std::vector<FakeWindow::DialogRecord> FakeWindow::dialogs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dialogs_;
}

FakeWindow::DialogRecord FakeWindow::LastDialog(int template_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it)
    if (it->template_id == template_id) return *it;
  return {};
}

std::string FakeWindow::standard_output() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stdout_;
}

std::vector<std::pair<std::string, std::string>> FakeWindow::status_changes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return statuses_;
}

int64_t FakeWindow::now_ms() const {
  std::lock_guard<std::mutex> lock(mu_);
  return now_ms_;
}

bool FakeWindow::closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

int FakeWindow::DoModal(Dialog& dialog) {
  std::optional<Run> run;
  {
    std::lock_guard<std::mutex> lock(mu_);
    DialogRecord record;
    record.template_id = dialog.TemplateId();
    record.started_ms = record.ended_ms = now_ms_;
    if (closed_) {
      record.result = kIdCancel;
      dialogs_.push_back(std::move(record));
      return kIdCancel;
    }
    dialogs_.push_back(std::move(record));
    run.emplace(*this, dialog, dialogs_.size() - 1);
    open_.push_back(&*run);
  }
  struct Unlist {  // however the run ends, a throwing handler included
    FakeWindow* window;
    Run* run;
    ~Unlist() {
      std::lock_guard<std::mutex> lock(window->mu_);
      run->record().ended_ms = window->now_ms_;
      window->open_.erase(std::find(window->open_.begin(), window->open_.end(), run));
    }
  } unlist{this, &*run};
  dialog.OnInitDialog(*run);
  if (!run->ended()) dialog.OnActivate(*run);
  const int result = run->Loop();
  std::lock_guard<std::mutex> lock(mu_);
  run->record().result = result;
  return result;
}

int FakeWindow::MessageBox(const std::string& text, const std::string& caption, BoxStyle style) {
  std::lock_guard<std::mutex> lock(mu_);
  int result = kIdOk;
  if (closed_) {
    result = kIdCancel;
  } else if (!box_script_.empty()) {
    result = box_script_.front();
    box_script_.pop_front();
  }
  boxes_.push_back({text, caption, style, result});
  return result;
}

std::optional<std::string> FakeWindow::AskLine(const std::string& text, const std::string& caption) {
  std::lock_guard<std::mutex> lock(mu_);
  std::optional<std::string> answer;
  if (!closed_ && !answer_script_.empty()) {
    answer = answer_script_.front();
    answer_script_.pop_front();
  }
  questions_.push_back({text, caption, answer});
  return answer;
}

void FakeWindow::StandardOutput(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  stdout_ += text;
}

void FakeWindow::Notice(const std::string& text, Severity severity) {
  std::lock_guard<std::mutex> lock(mu_);
  notices_.push_back(text);
  notice_severities_.push_back(severity);
}

std::vector<Severity> FakeWindow::notice_severities() const {
  std::lock_guard<std::mutex> lock(mu_);
  return notice_severities_;
}

std::vector<std::string> FakeWindow::notices() const {
  std::lock_guard<std::mutex> lock(mu_);
  return notices_;
}

void FakeWindow::StatusChanged(const std::string& report_name, const std::string& status,
                               const std::optional<RecordPosition>& position,
                               Severity severity) {
  std::lock_guard<std::mutex> lock(mu_);
  statuses_.emplace_back(report_name, status);
  positions_.push_back(position);
  status_severities_.push_back(severity);
}

std::vector<Severity> FakeWindow::status_severities() const {
  std::lock_guard<std::mutex> lock(mu_);
  return status_severities_;
}

std::vector<std::optional<RecordPosition>> FakeWindow::status_positions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return positions_;
}

void FakeWindow::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  for (Run* run : open_) run->EndLocked(kIdCancel);
}

}  // namespace tavrin
