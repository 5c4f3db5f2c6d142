#ifndef TAVRIN_PLATFORM_WINDOW_MODAL_LOOP_H_
#define TAVRIN_PLATFORM_WINDOW_MODAL_LOOP_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/env/env.h"
#include "platform/window/window.h"

namespace tavrin {

// What a dialog has put on its window so far.
struct WindowState {
  std::string caption;
  std::map<int, std::string> controls;  // control id -> text
  int progress = 0;
  bool operator==(const WindowState&) const = default;
};

// One modal run of a dialog on the Env's clock, shared by the console and the
// unattended front ends: the dialog's events and timer ticks arrive on the
// thread that calls Start and RunTimers, one at a time, until EndDialog.
//
// Thread-safety: EndDialog and State may be called from any thread; Start
// and RunTimers only from the thread that runs the dialog. The dialog's
// handlers are called with no lock held, so they may call back into the
// host, and front-end callbacks may take their own locks.
class ModalLoop : public DialogHost {
 public:
  // `dialog` and `env` must outlive the loop.
  ModalLoop(Dialog& dialog, Env& env);
  // Tells the dialog (OnDestroy) that its host goes.
  ~ModalLoop() override;

  // Delivers OnInitDialog and then, unless the dialog ended during it,
  // OnActivate.
  void Start();

  // Delivers timer ticks until the dialog ends and returns its result.
  // `after_tick` (may be empty) runs after every tick, on this thread.
  int RunTimers(const std::function<void()>& after_tick);

  // For a thread that waits in an event loop of its own rather than in
  // RunTimers: delivers the one tick that is due now, if any, and returns
  // when the next one is due; nullopt when the dialog has ended or no
  // timer runs.
  std::optional<Env::SteadyTime> RunDueTimer();
  // `wake` (empty: none) is called whenever a timer is set or moved or the
  // dialog ends, from the thread that did it and with the loop's lock held
  // (it must not call back into the loop), so that such an event loop looks
  // again at what is due.
  void SetWake(std::function<void()> wake);

  // A copy of what the dialog has set; never a half-written text.
  WindowState State() const;
  bool ended() const;
  // What EndDialog passed; only once ended().
  int result() const;

  void SetTimer(int id, int period_ms) override;
  void SetNextTick(int id, int64_t delay_ms) override;
  void SetCaption(const std::string& text) override;
  void SetControlText(int control_id, const std::string& text) override;
  void SetProgress(int percent) override;
  void EndDialog(int result) override;

 private:
  struct Timer {
    int id;
    std::chrono::steady_clock::duration period;
    Env::SteadyTime due;
  };
  // The timer due first; timers_ must not be empty.
  std::vector<Timer>::iterator NextLocked();
  // Moves `timer`, due now, to its next period and returns its id.
  int TakeTickLocked(Timer& timer);
  void ChangedLocked();

  Dialog& dialog_;
  Env& env_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  WindowState state_;
  std::vector<Timer> timers_;
  std::optional<int> result_;
  std::function<void()> wake_;
};

// The caption a dialog template starts with, before its dialog sets one.
std::string DefaultCaption(int template_id);

// `text` with CR LF pairs and lone CRs turned into LF, as a multi-line box
// shows them, and trailing line breaks removed.
std::string NormalizeLineBreaks(const std::string& text);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_MODAL_LOOP_H_
