#ifndef TAVRIN_PLATFORM_WINDOW_CONSOLE_WINDOW_H_
#define TAVRIN_PLATFORM_WINDOW_CONSOLE_WINDOW_H_

#include <termios.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/env/env.h"
#include "platform/fs/fd.h"
#include "platform/window/console_keys.h"
#include "platform/window/modal_loop.h"
#include "platform/window/window.h"

namespace tavrin {

// The window toolkit of an interactive terminal. The main dialog (template
// 102) is a panel of a few lines: caption, "Report Name:", "Status:",
// "Percent Complete:" with a text progress bar, "Version 7.000". Below it
// come the open boxes and the self-closing message (template 129), each with
// its caption and text, and below those the program's standard output.
//
// Drawing: the frame is drawn in place under the cursor and redrawn after
// every timer tick and every change of the boxes; only lines that changed are
// rewritten, lines are cut to the terminal's width (never wrapped), and
// control characters in texts are shown as '?' so no text can move the
// cursor. The last panel stays on screen when the program ends.
//
// Keys: one reader thread sends Enter (OK, 1) and Escape (Cancel, 2) to the
// modal operation opened last; a lone ESC byte with nothing after it within
// 50 ms is Escape, escape sequences (arrows, function keys) are ignored. A
// question (AskLine) also takes the characters typed, and Backspace.
// When input ends (stdin is not a terminal, or the terminal hung up) nobody
// can answer any more: boxes are then answered OK at once, as in the
// unattended log, and stay in the output area as "[<caption>] <text>";
// questions get no answer.
//
// Terminal: input is put in no-echo, non-canonical mode for the object's
// life and restored by the destructor. ISIG stays on, so Ctrl-C raises
// SIGINT; the program's handler is expected to call Close(), which makes
// every modal operation return 2 so the owner can unwind and destroy this
// object.
//
// Thread-safe. The object must outlive every call into it.
class ConsoleWindow : public WindowServices {
 public:
  // Reads keys from `in_fd` and draws on `out_fd`; owns neither. The dialogs'
  // timers run on `env`'s clock; `env` must outlive the object.
  ConsoleWindow(int in_fd, int out_fd, Env& env);
  // Stops the key reader, leaves the final frame and the cursor below it,
  // and restores the terminal.
  ~ConsoleWindow() override;
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  int DoModal(Dialog& dialog) override;
  int MessageBox(const std::string& text, const std::string& caption, BoxStyle style) override;
  std::optional<std::string> AskLine(const std::string& text, const std::string& caption) override;
  void StandardOutput(const std::string& text) override;
  void Notice(const std::string& text, Severity severity) override;
  // The panel shows what the main dialog sets at its ticks; nothing to do.
  void StatusChanged(const std::string&, const std::string&,
                     const std::optional<RecordPosition>&, Severity) override {}
  void Close() override;

 private:
  // Puts a terminal in no-echo, non-canonical mode until destroyed; does
  // nothing to a descriptor that is not a terminal.
  class RawMode {
   public:
    explicit RawMode(int fd);
    ~RawMode();
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

   private:
    const int fd_;
    bool active_ = false;
    termios saved_{};
  };

  // A pipe whose write end wakes the key reader.
  class WakePipe {
   public:
    WakePipe();
    int read_fd() const { return read_.get(); }
    void Signal();

   private:
    fs::UniqueFd read_, write_;
  };

  // An open dialog, message box or question, in the order they were opened.
  struct Modal {
    ModalLoop* loop = nullptr;  // dialogs; null for a message box or question
    int template_id = 0;
    std::string caption, text;  // message boxes and questions
    BoxStyle style = BoxStyle::kPlain;
    bool asks = false;          // a question: takes typed characters
    std::string answer;         // what was typed so far
    std::optional<int> result;  // message boxes and questions
  };
  // Shows `modal` (a box or question) and waits for its result.
  int WaitForAnswer(Modal& modal);
  void TypeChar(char c);
  void ReadKeys();
  void InputEnded();
  void Dispatch(ConsoleKey::Kind key);
  void Redraw();
  void RedrawLocked();
  std::vector<std::string> ComposeLocked(int cols, int rows);
  void Write(const std::string& bytes);

  const int in_fd_;
  const int out_fd_;
  Env& env_;
  RawMode raw_mode_;
  WakePipe wake_;  // stops the reader

  std::mutex mu_;
  std::condition_variable box_answered_;
  bool closed_ = false;
  bool input_ended_ = false;
  std::vector<Modal*> open_;
  std::optional<WindowState> panel_;  // the main dialog's last state
  std::deque<std::string> output_;   // standard output lines; the last may be open
  std::vector<std::string> drawn_;   // the frame on screen
  int drawn_cols_ = 0;
  bool cursor_hidden_ = false;

  std::thread reader_;  // last: started when everything else is ready
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_CONSOLE_WINDOW_H_
