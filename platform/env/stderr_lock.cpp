#include "platform/env/stderr_lock.h"

namespace tavrin {

std::mutex& StderrLock() {
  static std::mutex mu;
  return mu;
}

}  // namespace tavrin
