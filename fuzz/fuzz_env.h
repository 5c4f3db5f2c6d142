#ifndef TAVRIN_FUZZ_FUZZ_ENV_H_
#define TAVRIN_FUZZ_FUZZ_ENV_H_

#include "platform/env/fake_env.h"

namespace tavrin::fuzz {

// A clock that moves a millisecond at every look, so that a query's deadline
// is a number of steps of the query engine, the same at every run.
class TickingEnv : public FakeEnv {
 public:
  SteadyTime SteadyNow() override {
    AdvanceMs(1);
    return FakeEnv::SteadyNow();
  }
};

// The input as text.
inline std::string_view Text(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace tavrin::fuzz

#endif  // TAVRIN_FUZZ_FUZZ_ENV_H_
