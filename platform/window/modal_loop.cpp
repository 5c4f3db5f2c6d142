#include "platform/window/modal_loop.h"

#include <algorithm>

namespace tavrin {

namespace {
// Shorter periods would only spin; the window system clamps them the same way.
constexpr int kMinPeriodMs = 10;
}  // namespace

std::string DefaultCaption(int template_id) {
  switch (template_id) {
    case kMainDialogTemplate:
      return "TavrinReportGenerator";
    case kTimedMessageTemplate:
      return "Error!";
    default:
      return "";
  }
}

std::string NormalizeLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += '\n';
    } else {
      out += text[i];
    }
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

ModalLoop::ModalLoop(Dialog& dialog, Env& env) : dialog_(dialog), env_(env) {
  state_.caption = DefaultCaption(dialog.TemplateId());
}

ModalLoop::~ModalLoop() { dialog_.OnDestroy(); }

void ModalLoop::Start() {
  dialog_.OnInitDialog(*this);
  if (!ended()) dialog_.OnActivate(*this);
}

std::vector<ModalLoop::Timer>::iterator ModalLoop::NextLocked() {
  return std::min_element(timers_.begin(), timers_.end(),
                          [](const Timer& a, const Timer& b) { return a.due < b.due; });
}

int ModalLoop::TakeTickLocked(Timer& timer) {
  // Ticks missed while a handler ran long are dropped, not queued, so a
  // slow tick is never followed by a burst of them.
  const Env::SteadyTime now = env_.SteadyNow();
  timer.due += timer.period;
  if (timer.due <= now) timer.due = now + timer.period;
  return timer.id;
}

void ModalLoop::ChangedLocked() {
  cv_.notify_all();
  if (wake_) wake_();
}

int ModalLoop::RunTimers(const std::function<void()>& after_tick) {
  std::unique_lock<std::mutex> lock(mu_);
  while (!result_) {
    if (timers_.empty()) {
      cv_.wait(lock, [this] { return result_.has_value() || !timers_.empty(); });
      continue;
    }
    auto next = NextLocked();
    const Env::SteadyTime due = next->due;
    if (env_.SteadyNow() < due) {
      // Woken early by EndDialog or by a SetTimer from another handler:
      // look again at what is due.
      env_.WaitUntil(cv_, lock, due);
      continue;
    }
    const int id = TakeTickLocked(*next);
    lock.unlock();
    dialog_.OnTimer(*this, id);
    if (after_tick) after_tick();
    lock.lock();
  }
  return *result_;
}

std::optional<Env::SteadyTime> ModalLoop::RunDueTimer() {
  std::unique_lock<std::mutex> lock(mu_);
  if (result_ || timers_.empty()) return std::nullopt;
  auto next = NextLocked();
  if (env_.SteadyNow() >= next->due) {
    const int id = TakeTickLocked(*next);
    lock.unlock();
    dialog_.OnTimer(*this, id);
    lock.lock();
    if (result_ || timers_.empty()) return std::nullopt;
    next = NextLocked();
  }
  return next->due;
}

void ModalLoop::SetWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mu_);
  wake_ = std::move(wake);
}

WindowState ModalLoop::State() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

bool ModalLoop::ended() const {
  std::lock_guard<std::mutex> lock(mu_);
  return result_.has_value();
}

int ModalLoop::result() const {
  std::lock_guard<std::mutex> lock(mu_);
  return result_.value_or(kIdCancel);
}

void ModalLoop::SetTimer(int id, int period_ms) {
  const std::chrono::steady_clock::duration period =
      std::chrono::milliseconds(std::max(period_ms, kMinPeriodMs));
  std::lock_guard<std::mutex> lock(mu_);
  const Env::SteadyTime due = env_.SteadyNow() + period;
  auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
  if (it == timers_.end()) {
    timers_.push_back({id, period, due});
  } else {
    *it = {id, period, due};
  }
  ChangedLocked();
}

void ModalLoop::SetNextTick(int id, int64_t delay_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
  if (it == timers_.end()) return;
  it->due = env_.SteadyNow() + std::chrono::milliseconds(std::max<int64_t>(delay_ms, 0));
  ChangedLocked();
}

void ModalLoop::SetCaption(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.caption = text;
}

void ModalLoop::SetControlText(int control_id, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.controls[control_id] = text;
}

void ModalLoop::SetProgress(int percent) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.progress = std::clamp(percent, 0, 100);
}

void ModalLoop::EndDialog(int result) {
  std::lock_guard<std::mutex> lock(mu_);
  if (result_) return;
  result_ = result;
  ChangedLocked();
}

}  // namespace tavrin
