// The printing engine's module (print_module.h).

#include <memory>

#include "platform/print/cups_backend.h"
#include "platform/print/print_module.h"

extern "C" __attribute__((visibility("default"))) tavrin::PrintBackend* tavrin_new_print_backend(
    const tavrin::LoadedPrintBackend::Notice* notice) {
  return std::make_unique<tavrin::CupsPrintBackend>(*notice).release();
}
