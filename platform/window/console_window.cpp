#include "platform/window/console_window.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/window/console_layout.h"

namespace tavrin {

ConsoleWindow::RawMode::RawMode(int fd) : fd_(fd) {
  if (tcgetattr(fd_, &saved_) != 0) return;
  termios raw = saved_;
  // ISIG stays on: Ctrl-C still raises SIGINT, which the program treats as
  // the close box.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
}

ConsoleWindow::RawMode::~RawMode() {
  if (active_) tcsetattr(fd_, TCSANOW, &saved_);
}

ConsoleWindow::WakePipe::WakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  read_.Reset(fds[0]);
  write_.Reset(fds[1]);
}

void ConsoleWindow::WakePipe::Signal() { fs::WriteAll(write_.get(), "\1"); }

ConsoleWindow::ConsoleWindow(int in_fd, int out_fd, Env& env)
    : in_fd_(in_fd), out_fd_(out_fd), env_(env), raw_mode_(in_fd) {
  reader_ = std::thread(&ConsoleWindow::ReadKeys, this);
}

ConsoleWindow::~ConsoleWindow() {
  wake_.Signal();
  reader_.join();
  std::lock_guard<std::mutex> lock(mu_);
  RedrawLocked();
  if (cursor_hidden_) Write("\x1b[?25h");
}

int ConsoleWindow::DoModal(Dialog& dialog) {
  ModalLoop loop(dialog, env_);
  Modal modal;
  modal.loop = &loop;
  modal.template_id = dialog.TemplateId();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return kIdCancel;
    open_.push_back(&modal);
    RedrawLocked();
  }
  // Taken off the screen however the run ends, a throwing handler included.
  struct Unlist {
    ConsoleWindow* window;
    Modal* modal;
    ~Unlist() {
      std::lock_guard<std::mutex> lock(window->mu_);
      if (modal->template_id == kMainDialogTemplate) window->panel_ = modal->loop->State();
      window->open_.erase(std::find(window->open_.begin(), window->open_.end(), modal));
      window->RedrawLocked();
    }
  } unlist{this, &modal};
  loop.Start();
  Redraw();
  return loop.RunTimers([this] { Redraw(); });
}

int ConsoleWindow::MessageBox(const std::string& text, const std::string& caption, BoxStyle style) {
  Modal modal;
  modal.caption = caption;
  modal.text = text;
  modal.style = style;
  return WaitForAnswer(modal);
}

std::optional<std::string> ConsoleWindow::AskLine(const std::string& text, const std::string& caption) {
  Modal modal;
  modal.caption = caption;
  modal.text = text;
  modal.asks = true;
  if (WaitForAnswer(modal) != kIdOk) return std::nullopt;
  return modal.answer;
}

int ConsoleWindow::WaitForAnswer(Modal& modal) {
  std::unique_lock<std::mutex> lock(mu_);
  if (closed_) return kIdCancel;
  if (input_ended_) {
    AppendOutput("[" + modal.caption + "] " + NormalizeLineBreaks(modal.text) + "\n", output_);
    RedrawLocked();
    return modal.asks ? kIdCancel : kIdOk;
  }
  open_.push_back(&modal);
  RedrawLocked();
  box_answered_.wait(lock, [&modal] { return modal.result.has_value(); });
  open_.erase(std::find(open_.begin(), open_.end(), &modal));
  RedrawLocked();
  return *modal.result;
}

void ConsoleWindow::StandardOutput(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  AppendOutput(text, output_);
  RedrawLocked();
}

void ConsoleWindow::Notice(const std::string& text, Severity /*severity*/) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!output_.empty() && !output_.back().empty()) output_.emplace_back();  // a line of its own
  AppendOutput(text + "\n", output_);
  RedrawLocked();
}

void ConsoleWindow::InputEnded() {
  std::lock_guard<std::mutex> lock(mu_);
  input_ended_ = true;
  for (Modal* modal : open_) {
    if (modal->loop != nullptr || modal->result) continue;
    AppendOutput("[" + modal->caption + "] " + NormalizeLineBreaks(modal->text) + "\n", output_);
    modal->result = modal->asks ? kIdCancel : kIdOk;
  }
  box_answered_.notify_all();
}

void ConsoleWindow::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  for (Modal* modal : open_) {
    if (modal->loop != nullptr) {
      modal->loop->EndDialog(kIdCancel);
    } else if (!modal->result) {
      modal->result = kIdCancel;
    }
  }
  box_answered_.notify_all();
}

void ConsoleWindow::ReadKeys() {
  KeyDecoder decoder;
  for (;;) {
    pollfd fds[2] = {{in_fd_, POLLIN, 0}, {wake_.read_fd(), POLLIN, 0}};
    const int n = poll(fds, 2, decoder.PendingEscape() ? kEscapeTimeoutMs : -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) return;
    if (n == 0) {
      if (const std::optional<ConsoleKey> key = decoder.EscapeTimedOut()) Dispatch(key->kind);
      continue;
    }
    char buf[256];
    const ssize_t got = read(in_fd_, buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      InputEnded();
      return;
    }
    for (const ConsoleKey& key : decoder.Feed(std::string_view(buf, static_cast<size_t>(got)))) {
      if (key.kind == ConsoleKey::Kind::kChar) TypeChar(key.ch);
      else Dispatch(key.kind);
    }
  }
}

void ConsoleWindow::Dispatch(ConsoleKey::Kind key) {
  std::lock_guard<std::mutex> lock(mu_);
  if (open_.empty()) return;
  Modal* top = open_.back();
  if (key == ConsoleKey::Kind::kBackspace) {
    if (!top->asks || top->answer.empty()) return;
    // Takes off a whole UTF-8 character: continuation bytes first.
    while (top->answer.size() > 1 && (static_cast<unsigned char>(top->answer.back()) & 0xC0) == 0x80)
      top->answer.pop_back();
    top->answer.pop_back();
    RedrawLocked();
  } else if (top->loop == nullptr) {
    if (!top->result) top->result = key == ConsoleKey::Kind::kEnter ? kIdOk : kIdCancel;
    box_answered_.notify_all();
  } else if (key == ConsoleKey::Kind::kEscape) {
    top->loop->EndDialog(kIdCancel);
  } else if (top->template_id != kMainDialogTemplate) {
    top->loop->EndDialog(kIdOk);
  }
  // The main panel's OK button is hidden: Enter there does nothing, so an
  // extra Enter meant for a box never ends the program.
}

void ConsoleWindow::TypeChar(char c) {
  std::lock_guard<std::mutex> lock(mu_);
  if (open_.empty() || !open_.back()->asks) return;
  open_.back()->answer += c;
  RedrawLocked();
}

void ConsoleWindow::Redraw() {
  std::lock_guard<std::mutex> lock(mu_);
  RedrawLocked();
}

void ConsoleWindow::RedrawLocked() {
  int cols = 80, rows = 24;
  winsize ws{};
  if (ioctl(out_fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    cols = ws.ws_col;
    rows = ws.ws_row;
  }
  const std::vector<std::string> lines = ComposeLocked(cols, rows);
  const std::string update = FrameUpdate(drawn_, lines, cols != drawn_cols_);
  if (update.empty()) return;
  Write(cursor_hidden_ ? update : "\x1b[?25l" + update);
  cursor_hidden_ = true;
  drawn_ = lines;
  drawn_cols_ = cols;
}

std::vector<std::string> ConsoleWindow::ComposeLocked(int cols, int rows) {
  std::vector<BoxView> boxes;
  for (const Modal* modal : open_) {
    if (modal->template_id == kMainDialogTemplate) {
      panel_ = modal->loop->State();  // the one opened last wins
      continue;
    }
    BoxView box{modal->caption, modal->text, modal->style, modal->loop != nullptr, modal->asks, modal->answer};
    if (modal->loop != nullptr) {
      WindowState state = modal->loop->State();
      box.caption = std::move(state.caption);
      auto it = state.controls.find(kIdStatus);
      box.text = it == state.controls.end() ? "" : std::move(it->second);
    }
    boxes.push_back(std::move(box));
  }
  return LayOutFrame(panel_, boxes, output_, cols, rows);
}

// A terminal that is gone has nothing left to show the frame on, so a
// failed write is not reported.
void ConsoleWindow::Write(const std::string& bytes) { fs::WriteAll(out_fd_, bytes); }

}  // namespace tavrin
