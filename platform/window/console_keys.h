#ifndef TAVRIN_PLATFORM_WINDOW_CONSOLE_KEYS_H_
#define TAVRIN_PLATFORM_WINDOW_CONSOLE_KEYS_H_

#include <optional>
#include <string_view>
#include <vector>

namespace tavrin {

// How long an ESC byte waits for the rest of an escape sequence before it
// counts as the Escape key.
inline constexpr int kEscapeTimeoutMs = 50;

// A key the console acts on.
struct ConsoleKey {
  enum class Kind { kEnter, kEscape, kBackspace, kChar };
  Kind kind = Kind::kChar;
  char ch = 0;  // kChar: the byte typed (one byte of a UTF-8 character)
  bool operator==(const ConsoleKey&) const = default;
};

// Turns the bytes a terminal sends in non-canonical mode into keys. CR, LF
// and CR LF are each one Enter; DEL and BS are Backspace; other control
// bytes are dropped; every other byte is a typed character. ESC starts an
// escape sequence (CSI "ESC [ ... final", SS3 "ESC O x", Alt with a key),
// which is dropped whole; ESC ESC is Escape for the first one. A sequence
// may be cut anywhere between two reads: the decoder keeps its state.
//
// A lone ESC cannot be told from the start of a sequence until more bytes
// come, so the caller waits at most kEscapeTimeoutMs while PendingEscape()
// and then calls EscapeTimedOut().
//
// Pure: no I/O and no clock. Not thread-safe; one reader owns it.
class KeyDecoder {
 public:
  // The keys that `bytes`, the next bytes read, complete, in order.
  std::vector<ConsoleKey> Feed(std::string_view bytes);

  // True after an ESC byte with nothing yet after it.
  bool PendingEscape() const { return state_ == State::kEscape; }

  // Nothing followed the ESC byte in time: the Escape key when one was
  // pending, nothing otherwise.
  std::optional<ConsoleKey> EscapeTimedOut();

 private:
  enum class State { kNormal, kEscape, kCsi, kSs3 };
  State state_ = State::kNormal;
  bool after_cr_ = false;  // the last byte was CR: an LF after it is the same Enter
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_WINDOW_CONSOLE_KEYS_H_
