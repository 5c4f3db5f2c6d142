#include "platform/window/qt/qt_window.h"

#include <QAbstractPrintDialog>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/window/modal_loop.h"
#include "platform/window/window_factory.h"

namespace tavrin {
namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// The flags of a frame that has a caption and a close box and can be
// neither minimised nor maximised (its size is fixed as well).
constexpr Qt::WindowFlags kFrameHints = Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

// Dialog units of a font, as the dialog templates measure positions: a
// horizontal unit is a quarter of the average character width (the width of
// the 52 letters over 52), a vertical one an eighth of the character height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    x_ = metrics.horizontalAdvance(
             QString::fromLatin1("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52 / 4;
    y_ = metrics.height() / 8;
  }
  QRect Rect(int left, int top, int width, int height) const {
    return QRect(Px(left, x_), Px(top, y_), Px(width, x_), Px(height, y_));
  }

 private:
  static int Px(int units, double unit) { return static_cast<int>(std::lround(units * unit)); }
  double x_ = 0, y_ = 0;
};

struct Control {
  enum Kind { kLabel, kBox, kBar, kMultiLine, kButton };
  int id;  // 0: a label, which nobody changes
  Kind kind;
  const char* text;
  int left, top, width, height;  // dialog units
};

// Dialog 102. Its hidden OK and Cancel buttons are left out: Escape and the
// close box are its Cancel, and nothing is its OK.
constexpr Control kMainControls[] = {
    {0, Control::kLabel, "Report Name:", 7, 25, 46, 8},
    {kIdReportName, Control::kBox, "", 7, 35, 311, 12},
    {0, Control::kLabel, "Status:", 7, 50, 24, 8},
    {kIdStatus, Control::kBox, "", 7, 60, 311, 12},
    {0, Control::kLabel, "Percent Complete:", 7, 80, 60, 8},
    {kIdProgress, Control::kBar, "", 7, 89, 311, 9},
    {0, Control::kLabel, "0%", 9, 98, 12, 8},
    {0, Control::kLabel, "100%", 291, 98, 20, 9},
    {0, Control::kLabel, "Version 7.000", 268, 121, 46, 8},
};
// Dialog 129.
constexpr Control kTimedControls[] = {
    {kIdStatus, Control::kMultiLine, "", 7, 7, 172, 60},
    {kIdOk, Control::kButton, "OK", 67, 69, 50, 14},
};

// A dialog's end, as the dialog and box classes below report it: OK or
// Cancel (Escape, the close box), never hidden by the toolkit itself, so
// that the owner decides when the window goes.
using EndHandler = std::function<void(int result)>;

int ResultOf(int qt_result) { return qt_result == QDialog::Accepted ? kIdOk : kIdCancel; }

// Dialog 102 or 129, showing a WindowState.
class DialogView : public QDialog {
 public:
  DialogView(int template_id, EndHandler on_end) : on_end_(std::move(on_end)) {
    const bool main = template_id == kMainDialogTemplate;
    setObjectName(Q("dialog" + std::to_string(template_id)));
    // The main window is a window of its own, in the task bar.
    setWindowFlags((main ? Qt::Window : Qt::Dialog) | kFrameHints);
    setWindowTitle(Q(DefaultCaption(template_id)));
    const DialogUnits units(font());
    setFixedSize((main ? units.Rect(0, 0, 325, 137) : units.Rect(0, 0, 186, 90)).size());
    if (main) {
      for (const Control& c : kMainControls) Add(c, units);
    } else {
      for (const Control& c : kTimedControls) Add(c, units);
    }
  }

  void Refresh(const WindowState& state) {
    // Most ticks change nothing: those cost one comparison.
    if (shown_ == state) return;
    shown_ = state;
    const QString caption = Q(state.caption);
    if (windowTitle() != caption) setWindowTitle(caption);
    for (const auto& [id, box] : boxes_) {
      auto it = state.controls.find(id);
      const QString text = it == state.controls.end() ? QString() : Q(it->second);
      if (box->text() == text) continue;
      box->setText(text);
      box->setCursorPosition(0);  // a long text shows its beginning
    }
    if (message_ != nullptr) {
      auto it = state.controls.find(kIdStatus);
      const QString text = Q(NormalizeLineBreaks(it == state.controls.end() ? "" : it->second));
      if (message_->toPlainText() != text) message_->setPlainText(text);
    }
    if (bar_ != nullptr && bar_->value() != state.progress) bar_->setValue(state.progress);
  }

  void done(int r) override { on_end_(ResultOf(r)); }

 private:
  void Add(const Control& c, const DialogUnits& units) {
    QWidget* widget = nullptr;  // owned by this dialog, its parent
    switch (c.kind) {
      case Control::kLabel: {
        auto* label = new QLabel(Q(c.text), this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
      }
      case Control::kBox: {
        auto* box = new QLineEdit(this);
        box->setReadOnly(true);
        boxes_[c.id] = box;
        widget = box;
        break;
      }
      case Control::kBar:
        bar_ = new QProgressBar(this);
        bar_->setRange(0, 100);
        bar_->setValue(0);
        bar_->setTextVisible(false);
        widget = bar_;
        break;
      case Control::kMultiLine:
        message_ = new QPlainTextEdit(this);
        message_->setReadOnly(true);
        message_->setLineWrapMode(QPlainTextEdit::NoWrap);
        widget = message_;
        break;
      case Control::kButton: {
        auto* button = new QPushButton(Q(c.text), this);
        button->setDefault(true);
        connect(button, &QPushButton::clicked, this, &QDialog::accept);
        widget = button;
        break;
      }
    }
    if (c.id != 0) widget->setObjectName(Q("control" + std::to_string(c.id)));
    widget->setGeometry(units.Rect(c.left, c.top, c.width, c.height));
  }

  EndHandler on_end_;
  std::optional<WindowState> shown_;
  std::map<int, QLineEdit*> boxes_;
  QProgressBar* bar_ = nullptr;
  QPlainTextEdit* message_ = nullptr;
};

// A message box (OK) or a question (a line, OK and Cancel).
class BoxView : public QDialog {
 public:
  BoxView(const std::string& text, const std::string& caption, BoxStyle style, bool asks,
          std::function<void(int result, std::string answer)> on_end)
      : on_end_(std::move(on_end)) {
    setObjectName(asks ? "question" : "message_box");
    setWindowFlags(Qt::Dialog | kFrameHints);
    setWindowTitle(Q(caption));
    auto* grid = new QGridLayout(this);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    if (style != BoxStyle::kPlain) {
      const QStyle::StandardPixmap icon = style == BoxStyle::kMainWindowStop
                                              ? QStyle::SP_MessageBoxCritical
                                              : QStyle::SP_MessageBoxWarning;
      auto* picture = new QLabel(this);
      picture->setObjectName("icon");
      const int size = this->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
      picture->setPixmap(this->style()->standardIcon(icon, nullptr, this).pixmap(size, size));
      grid->addWidget(picture, 0, 0, Qt::AlignTop);
    }
    // Texts come from files and databases: shown as they are, never as markup.
    auto* label = new QLabel(Q(NormalizeLineBreaks(text)), this);
    label->setObjectName("text");
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(label, 0, 1);
    if (asks) {
      line_ = new QLineEdit(this);
      line_->setObjectName("answer");
      grid->addWidget(line_, 1, 1);
    }
    auto* buttons = new QDialogButtonBox(
        asks ? QDialogButtonBox::Ok | QDialogButtonBox::Cancel : QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    grid->addWidget(buttons, 2, 0, 1, 2);
  }

  void done(int r) override { on_end_(ResultOf(r), line_ != nullptr ? line_->text().toStdString() : ""); }

 private:
  std::function<void(int, std::string)> on_end_;
  QLineEdit* line_ = nullptr;
};

// The toolkit's print dialog over a printer of its own.
struct PrinterHolder {
  QPrinter held;
};
class PrintView : private PrinterHolder, public QPrintDialog {
 public:
  explicit PrintView(std::function<void(int result, std::string printer)> on_end)
      : QPrintDialog(&held), on_end_(std::move(on_end)) {
    setObjectName("print_dialog");
    // No printing to a file, and no page range: the listing prints whole.
    setOptions(QAbstractPrintDialog::PrintDialogOptions());
  }

  void done(int r) override { on_end_(ResultOf(r), held.printerName().toStdString()); }

 private:
  std::function<void(int, std::string)> on_end_;
};

void DeleteView(QPointer<QDialog>& view) {
  if (view.isNull()) return;
  view->hide();
  view->deleteLater();
  view = nullptr;
}

// The platform list to try: what the environment asks for, else the X
// display (which a Wayland session also offers through XWayland).
std::string PlatformsToTry() {
  if (const char* asked = std::getenv("QT_QPA_PLATFORM"); asked != nullptr && *asked != '\0') return asked;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return wayland != nullptr && *wayland != '\0' ? "wayland;xcb" : "xcb";
}

bool ListsOffscreen(const std::string& platforms) {
  return (";" + platforms + ";").find(";offscreen;") != std::string::npos;
}

// What Qt said while it looked for a display, for the notice when none opens.
std::string* g_qt_messages = nullptr;
void KeepQtMessage(QtMsgType, const QMessageLogContext&, const QString& message) {
  if (g_qt_messages == nullptr) return;
  if (!g_qt_messages->empty()) *g_qt_messages += "; ";
  *g_qt_messages += message.toStdString();
}

}  // namespace

// A box, question or dialog that a thread waits for.
struct PendingModal {
  // Under QtWindow::Impl::mu.
  std::optional<int> result;  // boxes and questions: set once
  std::string answer;
  ModalLoop* loop = nullptr;  // a dialog's run, while it lasts
  // User-interface thread only.
  QPointer<QDialog> view;
  QEventLoop* waiting = nullptr;  // the loop that waits for it on that thread
};

struct QtWindow::Impl {
  Impl(Env& e, std::unique_ptr<WindowServices> l) : env(e), log(std::move(l)) {}

  ~Impl() {
    if (!app) return;
    // Views whose deletion is posted go now; the application must be the
    // last Qt object to go.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    context.reset();
    app.reset();
  }

  bool OnUiThread() const { return std::this_thread::get_id() == ui_thread; }

  // Runs `fn` on the user-interface thread, after the events before it.
  void Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(context.get(), std::move(fn), Qt::QueuedConnection);
  }

  bool Answered(const std::shared_ptr<PendingModal>& p) {
    std::lock_guard<std::mutex> lock(mu);
    return p->result.has_value();
  }

  void FinishLocked(const std::shared_ptr<PendingModal>& p, int result, std::string answer) {
    if (p->result) return;
    p->result = result;
    p->answer = std::move(answer);
    answered.notify_all();
    Post([p] {
      if (p->waiting != nullptr) p->waiting->quit();
    });
  }

  void Finish(const std::shared_ptr<PendingModal>& p, int result, std::string answer) {
    std::lock_guard<std::mutex> lock(mu);
    FinishLocked(p, result, std::move(answer));
  }

  // Shows the box that `make` builds on the user-interface thread and
  // blocks until it is answered; `make`'s box reports its end with Finish.
  std::shared_ptr<PendingModal> RunBox(std::function<QDialog*(const std::shared_ptr<PendingModal>&)> make) {
    auto p = std::make_shared<PendingModal>();
    {
      std::lock_guard<std::mutex> lock(mu);
      if (closed) {
        p->result = kIdCancel;
        return p;
      }
      open.push_back(p);
    }
    auto show = [this, p, make = std::move(make)] {
      if (Answered(p)) return;
      p->view = make(p);
      p->view->show();
      p->view->raise();
      p->view->activateWindow();
    };
    if (OnUiThread()) {
      QEventLoop waiting;
      p->waiting = &waiting;
      show();
      if (!Answered(p)) waiting.exec();
      p->waiting = nullptr;
      DeleteView(p->view);
    } else {
      Post(show);
      std::unique_lock<std::mutex> lock(mu);
      answered.wait(lock, [&p] { return p->result.has_value(); });
      Post([p] { DeleteView(p->view); });
    }
    Unlist(p);
    return p;
  }

  void Unlist(const std::shared_ptr<PendingModal>& p) {
    std::lock_guard<std::mutex> lock(mu);
    p->loop = nullptr;
    open.erase(std::remove(open.begin(), open.end(), p), open.end());
  }

  void LogBox(const std::string& caption, const std::string& text) {
    log->Notice("[" + caption + "] " + NormalizeLineBreaks(text), Severity::kError);
  }

  // A dialog on the user-interface thread, its ticks between Qt's events.
  int RunHere(ModalLoop& loop, int template_id, const EndHandler& end) {
    DialogView view(template_id, end);
    loop.Start();
    view.Refresh(loop.State());
    view.show();
    QEventLoop waiting;
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire early, before the tick is due, which would
    // only wake the thread twice per tick.
    timer.setTimerType(Qt::PreciseTimer);
    QObject waker;  // what the wake-ups are posted to; they die with it
    std::atomic<bool> wake_posted{false};
    const std::function<void()> pump = [&] {
      wake_posted.store(false);
      const std::optional<Env::SteadyTime> next = loop.RunDueTimer();
      view.Refresh(loop.State());
      if (loop.ended()) {
        waiting.quit();
      } else if (next) {
        // Rounded up: a timer that fired before the tick is due would only
        // come back at once, again and again, until it is.
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - env.SteadyNow());
        timer.start(static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 60'000)));
      } else {
        timer.stop();
      }
    };
    QObject::connect(&timer, &QTimer::timeout, &waker, pump);
    loop.SetWake([&waker, &wake_posted, &pump] {
      if (!wake_posted.exchange(true)) QMetaObject::invokeMethod(&waker, pump, Qt::QueuedConnection);
    });
    if (!loop.ended()) {
      pump();
      if (!loop.ended()) waiting.exec();
    }
    loop.SetWake({});
    return loop.result();
  }

  // A dialog on another thread: run there, shown here.
  int RunElsewhere(ModalLoop& loop, int template_id, const std::shared_ptr<PendingModal>& p,
                   const EndHandler& end) {
    loop.Start();
    if (template_id == kTimedMessageTemplate) {
      const WindowState state = loop.State();
      auto it = state.controls.find(kIdStatus);
      LogBox(state.caption, it == state.controls.end() ? "" : it->second);
    }
    Post([p, template_id, end, state = loop.State()] {
      auto view = new DialogView(template_id, end);  // deleted by DeleteView
      view->Refresh(state);
      view->show();
      view->raise();
      p->view = view;
    });
    const int result = loop.RunTimers([this, p, &loop] {
      Post([p, state = loop.State()] {
        if (!p->view.isNull()) static_cast<DialogView*>(p->view.data())->Refresh(state);
      });
    });
    Post([p] { DeleteView(p->view); });
    return result;
  }

  Env& env;
  std::unique_ptr<WindowServices> log;
  // QApplication's arguments, which must outlive it: the program's name and
  // the platforms to try, never the user's arguments.
  int argc = 3;
  std::string arg0 = "tavrin-report", arg1 = "-platform", platforms;
  char* argv[4] = {arg0.data(), arg1.data(), nullptr, nullptr};
  std::unique_ptr<QApplication> app;
  std::unique_ptr<QObject> context;  // what Post posts to
  std::thread::id ui_thread;

  std::mutex mu;
  std::condition_variable answered;
  bool closed = false;
  std::vector<std::shared_ptr<PendingModal>> open;
};

std::unique_ptr<QtWindow> QtWindow::Open(Env& env, std::unique_ptr<WindowServices> log,
                                         std::string* why_not) {
  auto impl = std::make_unique<Impl>(env, std::move(log));
  const std::string asked = PlatformsToTry();
  // The last resort opens nothing, but never fails, so a display that
  // cannot be opened is a notice instead of the end of the program.
  impl->platforms = ListsOffscreen(asked) ? asked : asked + ";offscreen";
  impl->argv[2] = impl->platforms.data();
  std::string messages;
  g_qt_messages = &messages;
  const QtMessageHandler previous = qInstallMessageHandler(KeepQtMessage);
  impl->app = std::make_unique<QApplication>(impl->argc, impl->argv);
  qInstallMessageHandler(previous);
  g_qt_messages = nullptr;
  if (QGuiApplication::platformName() == QString::fromLatin1("offscreen") && !ListsOffscreen(asked)) {
    *why_not = "The desktop window cannot open the display" +
               (messages.empty() ? std::string() : " (" + messages + ")") +
               ": the run is shown here instead.";
    return nullptr;
  }
  QGuiApplication::setApplicationDisplayName(QString());
  QGuiApplication::setDesktopFileName(QString::fromLatin1("tavrin-report"));
  QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1("tavrin-report")));
  // The last window closing is the main dialog's business, not Qt's.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  impl->ui_thread = std::this_thread::get_id();
  impl->context = std::make_unique<QObject>();
  return std::unique_ptr<QtWindow>(new QtWindow(std::move(impl)));
}

QtWindow::QtWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

QtWindow::~QtWindow() { Close(); }

int QtWindow::DoModal(Dialog& dialog) {
  Impl& impl = *impl_;
  auto p = std::make_shared<PendingModal>();
  ModalLoop loop(dialog, impl.env);
  {
    std::lock_guard<std::mutex> lock(impl.mu);
    if (impl.closed) return kIdCancel;
    p->loop = &loop;
    impl.open.push_back(p);
  }
  // Off the list before the loop goes, so that no late click reaches it.
  struct Unlist {
    Impl& impl;
    const std::shared_ptr<PendingModal>& p;
    ~Unlist() { impl.Unlist(p); }
  } unlist{impl, p};
  const int template_id = dialog.TemplateId();
  const EndHandler end = [&impl, p](int result) {
    std::lock_guard<std::mutex> lock(impl.mu);
    if (p->loop != nullptr) p->loop->EndDialog(result);
  };
  const int result =
      impl.OnUiThread() ? impl.RunHere(loop, template_id, end) : impl.RunElsewhere(loop, template_id, p, end);
  // The main window is gone: nobody is left to answer a box.
  if (template_id == kMainDialogTemplate) Close();
  return result;
}

int QtWindow::MessageBox(const std::string& text, const std::string& caption, BoxStyle style) {
  impl_->LogBox(caption, text);
  Impl& impl = *impl_;
  return *impl.RunBox([&impl, text, caption, style](const std::shared_ptr<PendingModal>& p) -> QDialog* {
            return new BoxView(text, caption, style, false,
                               [&impl, p](int result, std::string) { impl.Finish(p, result, ""); });
          })->result;
}

std::optional<std::string> QtWindow::AskLine(const std::string& text, const std::string& caption) {
  Impl& impl = *impl_;
  const std::shared_ptr<PendingModal> p =
      impl.RunBox([&impl, text, caption](const std::shared_ptr<PendingModal>& pending) -> QDialog* {
        return new BoxView(text, caption, BoxStyle::kPlain, true,
                           [&impl, pending](int result, std::string answer) {
                             impl.Finish(pending, result, std::move(answer));
                           });
      });
  if (*p->result != kIdOk) return std::nullopt;
  return p->answer;
}

void QtWindow::StandardOutput(const std::string& text) { impl_->log->StandardOutput(text); }

void QtWindow::Notice(const std::string& text, Severity severity) { impl_->log->Notice(text, severity); }

void QtWindow::StatusChanged(const std::string& report_name, const std::string& status,
                             const std::optional<RecordPosition>& position, Severity severity) {
  impl_->log->StatusChanged(report_name, status, position, severity);
}

void QtWindow::Close() {
  Impl& impl = *impl_;
  {
    std::lock_guard<std::mutex> lock(impl.mu);
    impl.closed = true;
    for (const std::shared_ptr<PendingModal>& p : impl.open) {
      if (p->loop != nullptr) {
        p->loop->EndDialog(kIdCancel);
      } else {
        impl.FinishLocked(p, kIdCancel, "");
      }
    }
  }
  impl.log->Close();
}

namespace {

class QtPrintDialog : public PrintDialog {
 public:
  QtPrintDialog(QtWindow::Impl& impl, PrintBackend& backend) : impl_(impl), backend_(backend) {}

  PrinterChoice DoModal() override {
    DestinationList list;
    if (std::optional<PrinterChoice> failed = ListOrFail(backend_, list)) return *failed;
    QtWindow::Impl& impl = impl_;
    const std::shared_ptr<PendingModal> p = impl.RunBox([&impl](const std::shared_ptr<PendingModal>& pending) -> QDialog* {
      return new PrintView([&impl, pending](int result, std::string printer) {
        impl.Finish(pending, result, std::move(printer));
      });
    });
    if (*p->result != kIdOk || p->answer.empty()) return {};
    return {PrinterChoice::kChosen, p->answer, ""};
  }

 private:
  QtWindow::Impl& impl_;
  PrintBackend& backend_;
};

}  // namespace

std::unique_ptr<PrintDialog> QtWindow::NewPrintDialog(PrintBackend& backend) {
  return std::make_unique<QtPrintDialog>(*impl_, backend);
}

std::unique_ptr<DesktopWindow> OpenDesktopWindow(char** /*argv*/, Env& env, std::string* why_not) {
  return QtWindow::Open(env, NewWindowServices(WindowMode::kUnattended, env), why_not);
}

}  // namespace tavrin
