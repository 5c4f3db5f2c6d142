#include "platform/window/qt/qt_window.h"

#include <gtest/gtest.h>

#include <QPrintDialog>
#include <QApplication>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/env/fake_env.h"
#include "platform/print/fake_print_backend.h"
#include "platform/window/fake_window.h"

namespace tavrin {
namespace {

// The window on Qt's offscreen platform: no display server needed.
class QtWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(*Env::Default()); }

  void Open(Env& env) {
    window_.reset();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto log = std::make_unique<FakeWindow>();
    log_ = log.get();
    std::string why_not;
    window_ = QtWindow::Open(env, std::move(log), &why_not);
    ASSERT_NE(window_, nullptr) << why_not;
  }

  QWidget* TopLevel(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QString::fromLatin1(name) && w->isVisible()) return w;
    return nullptr;
  }

  // Runs Qt's events until `done` holds (at most 20 s, a hang).
  void RunUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    int polls = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (done() || ++polls > 4000) loop.quit();
    });
    poll.start(5);
    if (!done()) loop.exec();
    ASSERT_TRUE(done()) << "timed out";
  }

  std::unique_ptr<QtWindow> window_;
  FakeWindow* log_ = nullptr;
};

// A dialog whose ticks run a test's function; a 10 ms timer.
class ScriptedDialog : public Dialog {
 public:
  ScriptedDialog(int template_id, std::function<void(DialogHost&, int tick)> on_tick)
      : template_id_(template_id), on_tick_(std::move(on_tick)) {}
  int TemplateId() const override { return template_id_; }
  void OnInitDialog(DialogHost& host) override { host.SetTimer(100, 10); }
  void OnTimer(DialogHost& host, int) override { on_tick_(host, ++ticks_); }
  int ticks() const { return ticks_; }

 private:
  int template_id_;
  std::function<void(DialogHost&, int)> on_tick_;
  int ticks_ = 0;
};

struct Placed {
  const char* label;  // the label's text, or null for a control
  const char* control;
  int left, top, width, height;
};
// Dialog 102 as its template places it, in dialog units.
constexpr Placed kMainLayout[] = {
    {"Report Name:", nullptr, 7, 25, 46, 8},  {nullptr, "control1000", 7, 35, 311, 12},
    {"Status:", nullptr, 7, 50, 24, 8},       {nullptr, "control1002", 7, 60, 311, 12},
    {"Percent Complete:", nullptr, 7, 80, 60, 8}, {nullptr, "control1001", 7, 89, 311, 9},
    {"0%", nullptr, 9, 98, 12, 8},            {"100%", nullptr, 291, 98, 20, 9},
    {"Version 7.000", nullptr, 268, 121, 46, 8},
};

class MainWindowLayoutTest : public QtWindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(MainWindowLayoutTest, ControlsSitWhereTheTemplatePutsThemInTheFontsUnits) {
  QFont font = QApplication::font();
  font.setPointSize(GetParam());
  QApplication::setFont(font);
  bool checked = false;
  ScriptedDialog dialog(kMainDialogTemplate, [&](DialogHost& host, int) {
    QWidget* main = TopLevel("dialog102");
    ASSERT_NE(main, nullptr);
    const QFontMetricsF metrics(main->font());
    const double ux = metrics.horizontalAdvance(QString::fromLatin1(
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52 / 4;
    const double uy = metrics.height() / 8;
    const auto near = [](int px, int units, double unit) { return std::abs(px - units * unit) <= unit; };
    EXPECT_EQ(main->windowTitle().toStdString(), "TavrinReportGenerator");
    EXPECT_EQ(main->minimumSize(), main->maximumSize()) << "a fixed frame";
    EXPECT_TRUE(near(main->width(), 325, ux) && near(main->height(), 137, uy));
    EXPECT_FALSE(main->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(main->windowFlags() & Qt::WindowCloseButtonHint);
    for (const Placed& p : kMainLayout) {
      QWidget* w = nullptr;
      if (p.label != nullptr) {
        for (QLabel* label : main->findChildren<QLabel*>())
          if (label->text() == QString::fromLatin1(p.label)) w = label;
      } else {
        w = main->findChild<QWidget*>(QString::fromLatin1(p.control));
      }
      const std::string name = p.label != nullptr ? p.label : p.control;
      ASSERT_NE(w, nullptr) << name;
      const QRect r = w->geometry();
      EXPECT_TRUE(near(r.x(), p.left, ux) && near(r.y(), p.top, uy) && near(r.width(), p.width, ux) &&
                  near(r.height(), p.height, uy))
          << name << " at " << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
    }
    auto* bar = main->findChild<QProgressBar*>(QString::fromLatin1("control1001"));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    for (const char* box : {"control1000", "control1002"})
      EXPECT_TRUE(main->findChild<QLineEdit*>(QString::fromLatin1(box))->isReadOnly()) << box;
    checked = true;
    host.EndDialog(kIdOk);
  });
  EXPECT_EQ(window_->DoModal(dialog), kIdOk);
  EXPECT_TRUE(checked);
}

INSTANTIATE_TEST_SUITE_P(TwoFontSizes, MainWindowLayoutTest, ::testing::Values(9, 16));

TEST_F(QtWindowTest, EveryTickShowsTheTextsAndProgressTheDialogSet) {
  ScriptedDialog dialog(kMainDialogTemplate, [&](DialogHost& host, int tick) {
    QWidget* main = TopLevel("dialog102");
    ASSERT_NE(main, nullptr);
    const auto text = [main](const char* id) {
      return main->findChild<QLineEdit*>(QString::fromLatin1(id))->text().toStdString();
    };
    const int progress = main->findChild<QProgressBar*>(QString::fromLatin1("control1001"))->value();
    if (tick == 1) {
      host.SetControlText(kIdReportName, "Daily");
      host.SetControlText(kIdStatus, "Processing 5 of 10");
      host.SetProgress(50);
    } else if (tick == 2) {
      EXPECT_EQ(text("control1000"), "Daily");
      EXPECT_EQ(text("control1002"), "Processing 5 of 10");
      EXPECT_EQ(progress, 50);
      host.SetControlText(kIdStatus, "Waiting until next report is due.");
      host.SetProgress(0);
    } else {
      EXPECT_EQ(text("control1002"), "Waiting until next report is due.");
      EXPECT_EQ(progress, 0);
      host.EndDialog(kIdOk);
    }
  });
  EXPECT_EQ(window_->DoModal(dialog), kIdOk);
  EXPECT_EQ(dialog.ticks(), 3);
}

TEST_F(QtWindowTest, ABoxFromAnotherThreadBlocksItWhileTheMainWindowTicks) {
  std::thread run;
  std::atomic<bool> returned{false};
  int box_result = 0;
  int ticks_at_box = 0;
  ScriptedDialog dialog(kMainDialogTemplate, [&](DialogHost& host, int tick) {
    if (tick == 1) {
      run = std::thread([&] {
        box_result = window_->MessageBox("First line\r\nSecond line", "Provider Error", BoxStyle::kAppWarning);
        returned = true;
      });
      return;
    }
    QWidget* box = TopLevel("message_box");
    if (box != nullptr && ticks_at_box == 0) {
      ticks_at_box = tick;
      EXPECT_EQ(box->windowTitle().toStdString(), "Provider Error");
      EXPECT_EQ(box->findChild<QLabel*>(QString::fromLatin1("text"))->text().toStdString(),
                "First line\nSecond line");
      EXPECT_NE(box->findChild<QLabel*>(QString::fromLatin1("icon")), nullptr);
    }
    if (ticks_at_box != 0 && tick == ticks_at_box + 3) {
      EXPECT_FALSE(returned) << "the box's thread goes on before the box is closed";
      box->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    }
    if (returned) host.EndDialog(kIdOk);
  });
  EXPECT_EQ(window_->DoModal(dialog), kIdOk);
  run.join();
  EXPECT_EQ(box_result, kIdOk);
  EXPECT_GT(ticks_at_box, 0);
  EXPECT_GE(dialog.ticks(), ticks_at_box + 3);
  ASSERT_EQ(log_->notices().size(), 1u);
  EXPECT_EQ(log_->notices()[0], "[Provider Error] First line\nSecond line");
}

// The self-closing message: the count-down in the caption, one tick a second.
class CountDown : public Dialog {
 public:
  explicit CountDown(int seconds) : seconds_(seconds) {}
  int TemplateId() const override { return kTimedMessageTemplate; }
  void OnInitDialog(DialogHost& host) override { host.SetCaption("Error!"); }
  void OnActivate(DialogHost& host) override {
    if (seconds_ > 0) host.SetTimer(1, 1000);
    host.SetControlText(kIdStatus, "There was an error\r\non two lines");
  }
  void OnTimer(DialogHost& host, int) override {
    ++elapsed_;
    host.SetCaption("Message will close in " + std::to_string(seconds_ - elapsed_) + " seconds.");
    if (elapsed_ >= seconds_) host.EndDialog(kIdOk);
  }

 private:
  int seconds_;
  int elapsed_ = 0;
};

TEST_F(QtWindowTest, TheTimedMessageFromAnotherThreadClosesItselfWithOk) {
  FakeEnv env;
  Open(env);
  const int64_t start = env.now_ms();
  std::atomic<int> result{0};
  CountDown dialog(5);
  std::thread run([&] { result = window_->DoModal(dialog); });
  RunUntil([&] { return result != 0; });
  run.join();
  EXPECT_EQ(result, kIdOk);
  EXPECT_EQ(env.now_ms() - start, 5000);
  ASSERT_EQ(log_->notices().size(), 1u);
  EXPECT_EQ(log_->notices()[0], "[Error!] There was an error\non two lines");
}

TEST_F(QtWindowTest, TheTimedMessageShowsItsTextAndEndsWithCancelOnEscapeAndTheCloseBox) {
  for (const bool escape : {true, false}) {
    std::atomic<int> result{0};
    CountDown dialog(0);  // no count-down: only the user ends it
    std::thread run([&] { result = window_->DoModal(dialog); });
    RunUntil([&] { return TopLevel("dialog129") != nullptr; });
    QWidget* view = TopLevel("dialog129");
    EXPECT_EQ(view->findChild<QPlainTextEdit*>(QString::fromLatin1("control1002"))->toPlainText().toStdString(),
              "There was an error\non two lines");
    if (escape) {
      QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(view, &key);
    } else {
      view->close();
    }
    RunUntil([&] { return result != 0; });
    run.join();
    EXPECT_EQ(result, kIdCancel) << (escape ? "Escape" : "close box");
    RunUntil([&] { return TopLevel("dialog129") == nullptr; });
  }
}

TEST_F(QtWindowTest, EscapeAndTheCloseBoxOfTheMainWindowAreCancel) {
  for (const bool escape : {true, false}) {
    Open(*Env::Default());
    ScriptedDialog dialog(kMainDialogTemplate, [&](DialogHost&, int tick) {
      if (tick != 1) return;
      QWidget* main = TopLevel("dialog102");
      ASSERT_NE(main, nullptr);
      if (escape) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(main, &key);
      } else {
        main->close();
      }
    });
    EXPECT_EQ(window_->DoModal(dialog), kIdCancel) << (escape ? "Escape" : "close box");
  }
}

TEST_F(QtWindowTest, TheEndOfTheMainWindowCancelsTheBoxesStillOpen) {
  std::thread run;
  std::atomic<int> box_result{0};
  ScriptedDialog dialog(kMainDialogTemplate, [&](DialogHost& host, int tick) {
    if (tick == 1) run = std::thread([&] { box_result = window_->MessageBox("text", "caption", BoxStyle::kPlain); });
    if (TopLevel("message_box") != nullptr) TopLevel("dialog102")->close();
    (void)host;
  });
  EXPECT_EQ(window_->DoModal(dialog), kIdCancel);
  run.join();
  EXPECT_EQ(box_result, kIdCancel);
  EXPECT_EQ(window_->MessageBox("later", "caption", BoxStyle::kPlain), kIdCancel);
}

TEST_F(QtWindowTest, AQuestionReturnsTheLineTypedOrNothingOnCancel) {
  for (const bool ok : {true, false}) {
    std::optional<std::string> answer;
    std::atomic<bool> returned{false};
    std::thread run([&] {
      answer = window_->AskLine("Print on which printer?", "Print");
      returned = true;
    });
    RunUntil([&] { return TopLevel("question") != nullptr; });
    QWidget* question = TopLevel("question");
    question->findChild<QLineEdit*>(QString::fromLatin1("answer"))->setText(QString::fromUtf8("Büro 2"));
    question->findChild<QDialogButtonBox*>()
        ->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)
        ->click();
    RunUntil([&] { return returned.load(); });
    run.join();
    EXPECT_EQ(answer, ok ? std::optional<std::string>("Büro 2") : std::nullopt);
    RunUntil([&] { return TopLevel("question") == nullptr; });
  }
}

TEST_F(QtWindowTest, TextsAreShownAsTheyAreNeverAsMarkup) {
  std::atomic<bool> returned{false};
  std::thread run([&] {
    window_->MessageBox("<b>bold</b> & <img src=x>", "c", BoxStyle::kMainWindowStop);
    returned = true;
  });
  RunUntil([&] { return TopLevel("message_box") != nullptr; });
  QLabel* text = TopLevel("message_box")->findChild<QLabel*>(QString::fromLatin1("text"));
  EXPECT_EQ(text->textFormat(), Qt::PlainText);
  window_->Close();
  RunUntil([&] { return returned.load(); });
  run.join();
}

TEST_F(QtWindowTest, ThePrintDialogIsTheToolkitsWithoutPrintingToAFileAndCancelPrintsNothing) {
  FakePrintBackend backend;
  backend.destinations.destinations = {{"office", "Office laser", true}};
  std::unique_ptr<PrintDialog> dialog = window_->NewPrintDialog(backend);
  std::optional<PrinterChoice> choice;
  std::thread run([&] { choice = dialog->DoModal(); });
  RunUntil([&] { return TopLevel("print_dialog") != nullptr; });
  auto* print = static_cast<QPrintDialog*>(TopLevel("print_dialog"));
  EXPECT_FALSE(print->testOption(QAbstractPrintDialog::PrintToFile));
  print->reject();
  RunUntil([&] { return choice.has_value(); });
  run.join();
  EXPECT_EQ(choice->result, PrinterChoice::kCancelled);
}

TEST_F(QtWindowTest, APrintServerWithoutPrintersFailsWithoutADialog) {
  FakePrintBackend backend;
  const PrinterChoice choice = window_->NewPrintDialog(backend)->DoModal();
  EXPECT_EQ(choice.result, PrinterChoice::kFailed);
  EXPECT_EQ(choice.error, "The print server printhost:631 has no printers.");
  EXPECT_EQ(TopLevel("print_dialog"), nullptr);
}

}  // namespace
}  // namespace tavrin
