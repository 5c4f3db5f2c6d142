#include "platform/ado/com_error.h"

#include <cstdio>

namespace tavrin {
namespace {

struct KnownMessage {
  HRESULT hr;
  const char* text;
};

// The system's texts for the codes the database layer raises.
const KnownMessage kMessages[] = {
    {kEFail, "Unspecified error"},
    {kEPointer, "Invalid pointer"},
    {kEAbort, "Operation aborted"},
    {kEInvalidArg, "The parameter is incorrect."},
    {kEOutOfMemory, "Not enough memory resources are available to complete this operation."},
    {kENotImpl, "Not implemented"},
    {static_cast<HRESULT>(0x80004002), "No such interface supported"},
    {static_cast<HRESULT>(0x80070005), "Access is denied."},
    {static_cast<HRESULT>(0x80070002), "The system cannot find the file specified."},
};

}  // namespace

std::string _com_error::ErrorMessage() const {
  for (const auto& m : kMessages)
    if (m.hr == hr_) return m.text;
  const uint32_t code = static_cast<uint32_t>(hr_);
  const uint32_t facility = (code >> 16) & 0x1FFF;
  const uint32_t low = code & 0xFFFF;
  char buf[64];
  if (hr_ < 0 && facility == 4 && low >= 0x0200) {
    std::snprintf(buf, sizeof buf, "IDispatch error #%d", static_cast<int>(low - 0x0200));
  } else {
    std::snprintf(buf, sizeof buf, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
  }
  return buf;
}

}  // namespace tavrin
