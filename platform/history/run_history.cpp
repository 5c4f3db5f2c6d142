#include "platform/history/run_history.h"

namespace tavrin {
namespace {

constexpr std::pair<RunOutcome, std::string_view> kOutcomeNames[] = {
    {RunOutcome::kCompleted, "completed"},
    {RunOutcome::kFailed, "failed"},
    {RunOutcome::kStopped, "stopped"},
    {RunOutcome::kRefused, "refused"},
};

}  // namespace

std::string_view OutcomeName(RunOutcome outcome) {
  for (const auto& [value, name] : kOutcomeNames) {
    if (value == outcome) return name;
  }
  return "failed";
}

std::optional<RunOutcome> OutcomeNamed(std::string_view name) {
  for (const auto& [value, known] : kOutcomeNames) {
    if (known == name) return value;
  }
  return std::nullopt;
}

}  // namespace tavrin
