#include "platform/window/fake_window.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>

#include "platform/env/fake_env.h"

namespace tavrin {
namespace {

// A dialog whose timers and tick behaviour the test supplies.
class ScriptedDialog : public Dialog {
 public:
  using TickFn = std::function<void(DialogHost&, int timer_id)>;
  ScriptedDialog(int template_id, std::vector<std::pair<int, int>> timers, TickFn on_tick)
      : template_id_(template_id), timers_(std::move(timers)), on_tick_(std::move(on_tick)) {}
  int TemplateId() const override { return template_id_; }
  void OnInitDialog(DialogHost& host) override { host.SetCaption("init"); }
  void OnActivate(DialogHost& host) override {
    for (auto [id, period] : timers_) host.SetTimer(id, period);
  }
  void OnTimer(DialogHost& host, int timer_id) override { on_tick_(host, timer_id); }

 private:
  int template_id_;
  std::vector<std::pair<int, int>> timers_;
  TickFn on_tick_;
};

// A dialog without timers that runs `on_open` on a thread of its own once
// it is shown, and joins that thread when it goes.
class IdleDialog : public Dialog {
 public:
  explicit IdleDialog(std::function<void()> on_open) : on_open_(std::move(on_open)) {}
  int TemplateId() const override { return kMainDialogTemplate; }
  void OnInitDialog(DialogHost&) override {}
  void OnActivate(DialogHost&) override { thread_ = std::thread(on_open_); }
  void OnTimer(DialogHost&, int) override {}
  void OnDestroy() override {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::function<void()> on_open_;
  std::thread thread_;
};

TEST(FakeWindow, FiresTimersInVirtualTimeByDeadline) {
  FakeWindow window;
  std::vector<std::pair<int64_t, int>> fired;  // (virtual ms, timer id)
  window.SetTickHook([&](int template_id, int timer_id) {
    EXPECT_EQ(template_id, kMainDialogTemplate);
    fired.emplace_back(window.now_ms(), timer_id);
  });
  ScriptedDialog dialog(kMainDialogTemplate, {{100, 100}, {1, 250}}, [&](DialogHost& host, int) {
    if (window.now_ms() >= 60000) host.EndDialog(kIdOk);
  });
  EXPECT_EQ(window.DoModal(dialog), kIdOk);

  const std::vector<std::pair<int64_t, int>> first = {
      {100, 100}, {200, 100}, {250, 1}, {300, 100}, {400, 100}, {500, 100}, {500, 1}};
  ASSERT_GE(fired.size(), first.size());
  EXPECT_EQ(std::vector(fired.begin(), fired.begin() + 7), first);
  const FakeWindow::DialogRecord record = window.LastDialog(kMainDialogTemplate);
  EXPECT_EQ(record.ticks, 600 + 239);  // timer 1's tick at 60000 came too late
  EXPECT_EQ(record.result, kIdOk);
  EXPECT_EQ(record.ended_ms, 60000);
}

TEST(FakeWindow, HookMovesTheClockAndRecordsOnlyChanges) {
  FakeEnv env;
  const int64_t start = env.NowSeconds();
  FakeWindow window;
  window.SetTickHook([&](int, int) { env.Advance(1); });
  ScriptedDialog dialog(kMainDialogTemplate, {{100, 100}}, [&](DialogHost& host, int) {
    const int64_t elapsed = env.NowSeconds() - start;
    host.SetControlText(kIdStatus, elapsed < 3 ? "early" : "late");
    host.SetProgress(static_cast<int>(elapsed) * 10);
    if (elapsed == 5) host.EndDialog(kIdCancel);
  });
  EXPECT_EQ(window.DoModal(dialog), kIdCancel);
  const FakeWindow::DialogRecord record = window.LastDialog(kMainDialogTemplate);
  EXPECT_EQ(record.ticks, 5);
  EXPECT_EQ(record.captions, std::vector<std::string>{"init"});
  EXPECT_EQ(record.control_texts.at(kIdStatus), (std::vector<std::string>{"early", "late"}));
  EXPECT_EQ(record.progress, (std::vector<int>{10, 20, 30, 40, 50}));
}

TEST(FakeWindow, NestedModalRunTakesTheVirtualClockAlong) {
  FakeWindow window;
  int outer_ticks_after = 0, inner_ticks = 0;
  ScriptedDialog inner(kTimedMessageTemplate, {{1, 1000}}, [&](DialogHost& host, int) {
    if (++inner_ticks == 5) host.EndDialog(kIdOk);
  });
  bool shown = false;
  ScriptedDialog outer(kMainDialogTemplate, {{100, 100}}, [&](DialogHost& host, int) {
    if (!shown) {
      shown = true;
      EXPECT_EQ(window.DoModal(inner), kIdOk);
      EXPECT_EQ(window.now_ms(), 5100);
    } else if (++outer_ticks_after == 2) {
      host.EndDialog(kIdOk);
    }
  });
  EXPECT_EQ(window.DoModal(outer), kIdOk);
  // The overdue outer timer fired once, not 50 times.
  EXPECT_EQ(window.now_ms(), 5200);
  ASSERT_EQ(window.dialogs().size(), 2u);
  EXPECT_EQ(window.LastDialog(kTimedMessageTemplate).ticks, 5);
  EXPECT_EQ(window.LastDialog(kTimedMessageTemplate).started_ms, 100);
}

TEST(FakeWindow, EndDialogFromAnotherThread) {
  FakeWindow window;
  ScriptedDialog with_timer(kMainDialogTemplate, {{100, 100}}, [](DialogHost& host, int) {
    std::thread([&host] { host.EndDialog(7); }).join();
  });
  EXPECT_EQ(window.DoModal(with_timer), 7);

  // Without timers the run waits for somebody to end it: here a thread that
  // the dialog starts once it is open.
  IdleDialog idle([&window] { window.Close(); });
  EXPECT_EQ(window.DoModal(idle), kIdCancel);
  EXPECT_EQ(window.DoModal(with_timer), kIdCancel);  // closed: at once
  EXPECT_EQ(window.LastDialog(kMainDialogTemplate).ticks, 0);
}

TEST(FakeWindow, RunawayDialogStopsAtTheTickCap) {
  FakeWindow window(50);
  ScriptedDialog forever(kMainDialogTemplate, {{100, 100}}, [](DialogHost&, int) {});
  EXPECT_EQ(window.DoModal(forever), -1);
  EXPECT_EQ(window.LastDialog(kMainDialogTemplate).ticks, 50);
}

TEST(FakeWindow, BoxesAreRecordedAndAnsweredFromTheScript) {
  FakeWindow window;
  window.ScriptBoxResults({kIdCancel});
  EXPECT_EQ(window.MessageBox("a", "A", BoxStyle::kAppWarning), kIdCancel);
  EXPECT_EQ(window.MessageBox("b", "B", BoxStyle::kPlain), kIdOk);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int j = 0; j < 100; ++j) window.MessageBox("t", "T", BoxStyle::kPlain);
    });
  for (auto& t : threads) t.join();
  window.StandardOutput("x\n");
  window.StatusChanged("Daily", "Querying Data", std::nullopt, Severity::kInfo);
  window.StatusChanged("Daily", "Processing 0 of 2", RecordPosition{0, 2}, Severity::kInfo);
  window.Close();
  EXPECT_EQ(window.MessageBox("c", "C", BoxStyle::kMainWindowStop), kIdCancel);

  const std::vector<FakeWindow::Box> boxes = window.boxes();
  ASSERT_EQ(boxes.size(), 403u);
  EXPECT_EQ(boxes[0].caption, "A");
  EXPECT_EQ(boxes[0].style, BoxStyle::kAppWarning);
  EXPECT_EQ(boxes.back().text, "c");
  EXPECT_EQ(boxes.back().result, kIdCancel);
  EXPECT_EQ(window.standard_output(), "x\n");
  EXPECT_EQ(window.status_changes(),
            (std::vector<std::pair<std::string, std::string>>{{"Daily", "Querying Data"},
                                                              {"Daily", "Processing 0 of 2"}}));
  EXPECT_EQ(window.status_positions(),
            (std::vector<std::optional<RecordPosition>>{std::nullopt, RecordPosition{0, 2}}));
}

}  // namespace
}  // namespace tavrin
