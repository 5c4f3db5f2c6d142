#ifndef TAVRIN_PLATFORM_PRINT_PRINT_MODULE_H_
#define TAVRIN_PLATFORM_PRINT_PRINT_MODULE_H_

// The printing engine as a module of its own: CUPS, cairo and fontconfig
// bring some forty shared libraries, which a program that only writes files
// would load, relocate and copy into every reader child it forks. The
// program loads the module (cups_module.cpp, installed with it) when a report
// first asks for a printer.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/print/print_backend.h"

namespace tavrin {

// Where the module lies: beside the program's installed libraries, found
// from the program's own path (in the build tree as when installed).
std::string PrintModulePath();

// A PrintBackend that loads the module at `path` at its first call and then
// does what CupsPrintBackend does (cups_backend.h); `notice` as there. A
// module that cannot be loaded lists no printer (the list's error says why)
// and starts no job. Thread-safe.
class LoadedPrintBackend : public PrintBackend {
 public:
  using Notice = std::function<void(const std::string& text)>;
  LoadedPrintBackend(std::string path, Notice notice);
  ~LoadedPrintBackend() override;

  std::string ServerName() const override;
  DestinationList ListDestinations() override;
  std::unique_ptr<PrintJob> StartJob(const std::string& destination, const std::string& title,
                                     std::string& error) override;

 private:
  // The module's backend, loaded once; null when it cannot be (error_ says why).
  PrintBackend* Engine() const;

  std::string path_;
  Notice notice_;
  mutable std::once_flag loaded_;
  mutable std::unique_ptr<PrintBackend> engine_;
  mutable std::string error_;
};

}  // namespace tavrin

// The module's one entry point, as the loader finds it: a new CupsPrintBackend
// that tells `notice` (which must outlive it) of substituted fonts; owned by
// the caller.
extern "C" tavrin::PrintBackend* tavrin_new_print_backend(const tavrin::LoadedPrintBackend::Notice* notice);

#endif  // TAVRIN_PLATFORM_PRINT_PRINT_MODULE_H_
