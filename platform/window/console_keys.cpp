#include "platform/window/console_keys.h"

namespace tavrin {

std::vector<ConsoleKey> KeyDecoder::Feed(std::string_view bytes) {
  using Kind = ConsoleKey::Kind;
  std::vector<ConsoleKey> keys;
  for (const char c : bytes) {
    switch (state_) {
      case State::kNormal:
        if (c == '\x1b') {
          state_ = State::kEscape;
        } else if (c == '\r' || (c == '\n' && !after_cr_)) {
          keys.push_back({Kind::kEnter});
        } else if (c == '\x7f' || c == '\b') {
          keys.push_back({Kind::kBackspace});
        } else if (static_cast<unsigned char>(c) >= 0x20) {
          keys.push_back({Kind::kChar, c});
        }
        break;
      case State::kEscape:
        if (c == '[') {
          state_ = State::kCsi;
        } else if (c == 'O') {
          state_ = State::kSs3;
        } else if (c == '\x1b') {
          keys.push_back({Kind::kEscape});  // the first one stood alone
        } else {
          state_ = State::kNormal;  // Alt with a key
        }
        break;
      case State::kCsi:
        if (c >= 0x40 && c <= 0x7E) state_ = State::kNormal;
        break;
      case State::kSs3:
        state_ = State::kNormal;
        break;
    }
    after_cr_ = c == '\r';
  }
  return keys;
}

std::optional<ConsoleKey> KeyDecoder::EscapeTimedOut() {
  if (state_ != State::kEscape) return std::nullopt;
  state_ = State::kNormal;
  return ConsoleKey{ConsoleKey::Kind::kEscape};
}

}  // namespace tavrin
