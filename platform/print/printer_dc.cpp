#include "platform/print/printer_dc.h"

#include <cmath>

namespace tavrin {

int CPrinterDC::DeviceX(int32_t points) const {
  return static_cast<int>(std::lround(static_cast<double>(points) * job_->DpiX() / 72.0));
}

int CPrinterDC::DeviceY(int32_t points) const {
  return static_cast<int>(std::lround(static_cast<double>(points) * job_->DpiY() / 72.0));
}

void CPrinterDC::Fail(const std::string& text) {
  job_.reset();
  printer_.clear();
  page_open_ = false;
  if (on_failure_) on_failure_(text);
}

bool CPrinterDC::OpenPrinter() {
  const PrinterChoice choice = dialog_.DoModal();
  if (choice.result == PrinterChoice::kFailed) Fail(choice.error);
  if (choice.result != PrinterChoice::kChosen) return false;
  printer_ = choice.printer;
  return true;
}

bool CPrinterDC::StartJob() {
  if (printer_.empty() || job_) return false;
  std::string error;
  job_ = backend_.StartJob(printer_, "", error);
  if (!job_) {
    Fail(error);
    return false;
  }
  page_height_ = job_->PageHeight();
  return true;
}

void CPrinterDC::AddFont(const std::string& face, int points) {
  if (job_) job_->SetFont(face, DeviceY(points));
}

void CPrinterDC::SetMargins(int32_t top, int32_t bottom, int32_t left) {
  top_ = top;
  bottom_ = bottom;
  left_ = left;
  if (job_) cursor_ = DeviceY(top_);
}

void CPrinterDC::SetLineSpacing(int32_t points) { spacing_ = points; }

void CPrinterDC::StartPage() {
  if (!job_) return;
  job_->StartPage();
  page_open_ = true;
  cursor_ = DeviceY(top_);
}

void CPrinterDC::EndPage() {
  if (!job_ || !page_open_) return;
  job_->EndPage();
  page_open_ = false;
}

void CPrinterDC::NewPage() {
  EndPage();
  StartPage();
}

void CPrinterDC::PrintLine(const std::string& text) {
  if (!job_) return;
  const int height = job_->TextHeight(text.empty() ? "A" : text);
  const int step = height + DeviceY(spacing_);
  if (cursor_ + step > page_height_ - DeviceY(bottom_) && cursor_ != DeviceY(top_)) NewPage();
  job_->DrawText(DeviceX(left_), cursor_, text);
  cursor_ += step;
}

bool CPrinterDC::EndJob() {
  if (!job_) return false;
  EndPage();
  const std::string error = job_->Finish();
  job_.reset();
  printer_.clear();
  if (!error.empty()) {
    Fail(error);
    return false;
  }
  return true;
}

void CPrinterDC::CancelJob() {
  job_.reset();
  printer_.clear();
  page_open_ = false;
}

}  // namespace tavrin
