#include "platform/window/console_window.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/text/utf8.h"

namespace tavrin {

namespace {

// How long an ESC byte waits for the rest of an escape sequence before it
// counts as the Escape key.
constexpr int kEscapeTimeoutMs = 50;
constexpr int kLabelWidth = 18;  // "Percent Complete: "
constexpr size_t kMaxOutputLines = 500;
constexpr char kVersion[] = "Version 7.000";

// At most `width` characters of `s`, never splitting a UTF-8 character.
// Control characters and bytes that are not UTF-8 become '?', so a text from
// a file or database cannot move the cursor or change the terminal.
std::string Cut(const std::string& s, int width) {
  std::string out;
  size_t i = 0;
  for (int cols = 0; i < s.size() && cols < width; ++cols) {
    const text::Utf8Char ch = text::DecodeUtf8(s, i);
    const char32_t c = ch.code_point;
    if (ch.valid && c == '\t') out += ' ';
    else if (!ch.valid || c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) out += '?';
    else out.append(s, i, ch.length);
    i += ch.length;
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

std::string Label(const char* label) {
  std::string s = label;
  s.resize(kLabelWidth, ' ');
  return s;
}

const char* Icon(BoxStyle style) {
  switch (style) {
    case BoxStyle::kMainWindowStop:
      return "(X) ";
    case BoxStyle::kAppWarning:
      return "(!) ";
    case BoxStyle::kPlain:
      break;
  }
  return "";
}

}  // namespace

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
  if (pipe2(fds_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
}

ConsoleWindow::WakePipe::~WakePipe() {
  close(fds_[0]);
  close(fds_[1]);
}

void ConsoleWindow::WakePipe::Signal() {
  const char byte = 1;
  while (write(fds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

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
    AppendOutputLocked("[" + modal.caption + "] " + NormalizeLineBreaks(modal.text) + "\n");
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
  AppendOutputLocked(text);
  RedrawLocked();
}

void ConsoleWindow::Notice(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!output_.empty() && !output_.back().empty()) output_.emplace_back();  // a line of its own
  AppendOutputLocked(text + "\n");
  RedrawLocked();
}

void ConsoleWindow::AppendOutputLocked(const std::string& text) {
  std::vector<std::string> lines = SplitLines(text);
  if (output_.empty()) output_.emplace_back();
  output_.back() += lines.front();  // continues a line left open
  output_.insert(output_.end(), lines.begin() + 1, lines.end());
  while (output_.size() > kMaxOutputLines) output_.pop_front();
}

void ConsoleWindow::InputEnded() {
  std::lock_guard<std::mutex> lock(mu_);
  input_ended_ = true;
  for (Modal* modal : open_) {
    if (modal->loop != nullptr || modal->result) continue;
    AppendOutputLocked("[" + modal->caption + "] " + NormalizeLineBreaks(modal->text) + "\n");
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
  enum class State { kNormal, kEscape, kCsi, kSs3 } state = State::kNormal;
  bool after_cr = false;
  for (;;) {
    pollfd fds[2] = {{in_fd_, POLLIN, 0}, {wake_.read_fd(), POLLIN, 0}};
    const int n = poll(fds, 2, state == State::kEscape ? kEscapeTimeoutMs : -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) return;
    if (n == 0) {  // nothing followed the ESC byte
      state = State::kNormal;
      Dispatch(Key::kEscape);
      continue;
    }
    char buf[256];
    const ssize_t got = read(in_fd_, buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      InputEnded();
      return;
    }
    for (ssize_t i = 0; i < got; ++i) {
      const char c = buf[i];
      switch (state) {
        case State::kNormal:
          if (c == '\x1b') {
            state = State::kEscape;
          } else if (c == '\r' || (c == '\n' && !after_cr)) {
            Dispatch(Key::kEnter);
          } else if (c == '\x7f' || c == '\b') {
            Dispatch(Key::kBackspace);
          } else if (static_cast<unsigned char>(c) >= 0x20) {
            TypeChar(c);
          }
          break;
        case State::kEscape:
          if (c == '[') {
            state = State::kCsi;
          } else if (c == 'O') {
            state = State::kSs3;
          } else if (c == '\x1b') {
            Dispatch(Key::kEscape);  // the first one stood alone
          } else {
            state = State::kNormal;  // Alt with a key
          }
          break;
        case State::kCsi:
          if (c >= 0x40 && c <= 0x7E) state = State::kNormal;
          break;
        case State::kSs3:
          state = State::kNormal;
          break;
      }
      after_cr = c == '\r';
    }
  }
}

void ConsoleWindow::Dispatch(Key key) {
  std::lock_guard<std::mutex> lock(mu_);
  if (open_.empty()) return;
  Modal* top = open_.back();
  if (key == Key::kBackspace) {
    if (!top->asks || top->answer.empty()) return;
    // Takes off a whole UTF-8 character: continuation bytes first.
    while (top->answer.size() > 1 && (static_cast<unsigned char>(top->answer.back()) & 0xC0) == 0x80)
      top->answer.pop_back();
    top->answer.pop_back();
    RedrawLocked();
  } else if (top->loop == nullptr) {
    if (!top->result) top->result = key == Key::kEnter ? kIdOk : kIdCancel;
    box_answered_.notify_all();
  } else if (key == Key::kEscape) {
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
  const bool all = cols != drawn_cols_;
  if (!all && lines == drawn_) return;

  // The cursor rests on the line below the frame; go back to its first line
  // and rewrite only the lines that differ.
  std::string out;
  if (!cursor_hidden_) {
    out += "\x1b[?25l";
    cursor_hidden_ = true;
  }
  out += '\r';
  if (!drawn_.empty()) out += "\x1b[" + std::to_string(drawn_.size()) + "A";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (all || i >= drawn_.size() || drawn_[i] != lines[i]) out += "\x1b[2K" + lines[i];
    out += "\r\n";
  }
  if (lines.size() < drawn_.size()) out += "\x1b[J";
  Write(out);
  drawn_ = lines;
  drawn_cols_ = cols;
}

std::vector<std::string> ConsoleWindow::ComposeLocked(int cols, int rows) {
  for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
    if ((*it)->template_id == kMainDialogTemplate) {
      panel_ = (*it)->loop->State();
      break;
    }
  }
  // Writing into the last column would wrap on some terminals.
  const int width = std::max(cols - 1, 1);

  std::vector<std::string> head;
  if (panel_) {
    const auto control = [this](int id) {
      auto it = panel_->controls.find(id);
      return it == panel_->controls.end() ? std::string() : it->second;
    };
    const int bar = std::clamp(width - kLabelWidth - 2, 10, 50);
    const int filled = panel_->progress * bar / 100;
    head.push_back("== " + panel_->caption + " ==");
    head.push_back(Label("Report Name:") + control(kIdReportName));
    head.push_back(Label("Status:") + control(kIdStatus));
    head.push_back(Label("Percent Complete:") + "[" + std::string(filled, '#') +
                   std::string(bar - filled, '-') + "]");
    head.push_back(std::string(kLabelWidth, ' ') + "0%" + std::string(bar - 4, ' ') + "100%");
    const int version_at = std::max(0, kLabelWidth + bar + 2 - static_cast<int>(sizeof kVersion - 1));
    head.push_back(std::string(version_at, ' ') + kVersion);
  }
  for (const Modal* modal : open_) {
    if (modal->template_id == kMainDialogTemplate) continue;
    std::string caption = modal->caption, text = modal->text;
    if (modal->loop != nullptr) {
      const WindowState state = modal->loop->State();
      caption = state.caption;
      auto it = state.controls.find(kIdStatus);
      text = it == state.controls.end() ? "" : it->second;
    }
    head.emplace_back();
    head.push_back("+-- " + std::string(Icon(modal->style)) + caption);
    for (const std::string& line : SplitLines(NormalizeLineBreaks(text))) head.push_back("| " + line);
    if (modal->asks) head.push_back("| > " + modal->answer + "_");
    head.push_back(modal->loop != nullptr ? "+-- Enter: OK" : "+-- Enter: OK   Esc: Cancel");
  }

  // The frame never grows taller than the screen, or the way back to its
  // top would be lost: output gives way first, then the top of the panel.
  const size_t room = static_cast<size_t>(std::max(rows - 1, 1));
  std::vector<std::string> frame;
  if (head.size() >= room) {
    frame.assign(head.end() - static_cast<std::ptrdiff_t>(room), head.end());
  } else {
    frame = head;
    std::deque<std::string> output = output_;
    if (!output.empty() && output.back().empty()) output.pop_back();  // text ended with a line break
    const size_t space = room - head.size();  // at least 1
    if (!output.empty() && space >= 2) {
      frame.emplace_back();  // keeps the output apart from the panel
      const size_t fit = std::min(output.size(), space - 1);
      frame.insert(frame.end(), output.end() - static_cast<std::ptrdiff_t>(fit), output.end());
    }
  }
  for (std::string& line : frame) line = Cut(line, width);
  return frame;
}

void ConsoleWindow::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(out_fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the terminal is gone; nothing left to show it on
    done += static_cast<size_t>(n);
  }
}

}  // namespace tavrin
