#include "platform/print/print_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace tavrin {

std::string PrintModulePath() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (program.parent_path().parent_path() / TAVRIN_MODULE_DIR / "tavrin-print-cups.so").string();
}

LoadedPrintBackend::LoadedPrintBackend(std::string path, Notice notice)
    : path_(std::move(path)), notice_(std::move(notice)) {}

// The module stays loaded: the engine's code runs until the program ends.
LoadedPrintBackend::~LoadedPrintBackend() = default;

PrintBackend* LoadedPrintBackend::Engine() const {
  std::call_once(loaded_, [this] {
    void* module = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      error_ = std::string("The printing engine cannot be loaded: ") + dlerror() + ".";
      return;
    }
    void* entry = dlsym(module, "tavrin_new_print_backend");
    if (!entry) {
      error_ = "The printing engine " + path_ + " is not the one of this program.";
      return;
    }
    engine_.reset(reinterpret_cast<decltype(&tavrin_new_print_backend)>(entry)(&notice_));
  });
  return engine_.get();
}

std::string LoadedPrintBackend::ServerName() const {
  const PrintBackend* engine = Engine();
  return engine ? engine->ServerName() : std::string("(none: no printing engine)");
}

DestinationList LoadedPrintBackend::ListDestinations() {
  if (PrintBackend* engine = Engine()) return engine->ListDestinations();
  return {{}, error_};
}

std::unique_ptr<PrintJob> LoadedPrintBackend::StartJob(const std::string& destination, const std::string& title,
                                                       std::string& error) {
  if (PrintBackend* engine = Engine()) return engine->StartJob(destination, title, error);
  error = error_;
  return nullptr;
}

}  // namespace tavrin
