#include "platform/print/fake_print_backend.h"

namespace tavrin {
namespace {

class FakeJob : public PrintJob {
 public:
  FakeJob(FakePrintBackend& backend, size_t index) : backend_(backend), index_(index) {}
  ~FakeJob() override {
    if (!done_) job().cancelled = true;
  }

  int DpiX() const override { return backend_.dpi; }
  int DpiY() const override { return backend_.dpi; }
  int PageWidth() const override { return backend_.page_width; }
  int PageHeight() const override { return backend_.page_height; }
  void SetFont(const std::string& face, int height) override {
    job().font = face;
    job().font_height = height;
  }
  int TextHeight(const std::string& text) override {
    job().measured.push_back(text);
    return text.empty() ? 0 : backend_.line_height;
  }
  void StartPage() override { job().pages.emplace_back(); }
  void EndPage() override {
    if (!job().pages.empty()) job().pages.back().ended = true;
  }
  void DrawText(int x, int y, const std::string& text) override {
    if (!job().pages.empty() && !job().pages.back().ended)
      job().pages.back().lines.push_back({x, y, text});
  }
  std::string Finish() override {
    done_ = true;
    if (!backend_.finish_error.empty()) {
      job().cancelled = true;
      return backend_.finish_error;
    }
    job().finished = true;
    return "";
  }

 private:
  // By index: the backend's list of jobs may grow while this one lives.
  FakePrintBackend::Job& job() { return backend_.jobs[index_]; }

  FakePrintBackend& backend_;
  const size_t index_;
  bool done_ = false;
};

}  // namespace

DestinationList FakePrintBackend::ListDestinations() {
  ++list_calls;
  return destinations;
}

std::unique_ptr<PrintJob> FakePrintBackend::StartJob(const std::string& destination,
                                                     const std::string& title, std::string& error) {
  if (!start_error.empty()) {
    error = start_error;
    return nullptr;
  }
  Job job;
  job.destination = destination;
  job.title = title;
  jobs.push_back(std::move(job));
  return std::make_unique<FakeJob>(*this, jobs.size() - 1);
}

}  // namespace tavrin
