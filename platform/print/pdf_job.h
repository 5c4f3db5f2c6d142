#ifndef TAVRIN_PLATFORM_PRINT_PDF_JOB_H_
#define TAVRIN_PLATFORM_PRINT_PDF_JOB_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/print/print_backend.h"

namespace tavrin {

// The fonts that printed pages use, found with fontconfig. A face is looked
// up once per object; "Courier" is asked for as "Liberation Mono", which has
// Courier's metrics (package fonts-liberation). When the family found is not
// the one asked for, or has no fixed pitch (a monospace family is then tried
// instead), `notice` is told once per face which family prints.
// Thread-safe.
class PrintFonts {
 public:
  using Notice = std::function<void(const std::string& text)>;
  explicit PrintFonts(Notice notice);
  ~PrintFonts();
  PrintFonts(const PrintFonts&) = delete;
  PrintFonts& operator=(const PrintFonts&) = delete;

 private:
  friend class PdfJob;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A print job drawn with cairo into a PDF, in the units of a 600 dpi device.
// The page is the whole sheet: (0, 0) is its top-left corner. Text is drawn
// with its top at y and its baseline one font ascent lower; a line's height
// is the font's ascent plus descent, whatever the text. Before drawing, bytes
// that are not UTF-8 are read as Windows-1252, tabs are expanded to the next
// multiple of 8 characters and other control characters become blanks, so
// no text can put the document in error.
//
// The PDF's bytes go to `write` while the pages are made and at Finish; a
// write that returns false ends the document (later drawing does nothing,
// Finish says why). Finish returns "" or why the PDF is incomplete and does
// not cancel anything: a job that hands the PDF on derives from this class.
class PdfJob : public PrintJob {
 public:
  using Writer = std::function<bool(const char* data, size_t size)>;

  static constexpr int kDpi = 600;

  // Pages of `width_pt` by `height_pt` points. `fonts` must outlive the job.
  PdfJob(Writer write, double width_pt, double height_pt, PrintFonts& fonts);
  ~PdfJob() override;
  PdfJob(const PdfJob&) = delete;
  PdfJob& operator=(const PdfJob&) = delete;

  int DpiX() const override { return kDpi; }
  int DpiY() const override { return kDpi; }
  int PageWidth() const override { return page_width_; }
  int PageHeight() const override { return page_height_; }
  void SetFont(const std::string& face, int height) override;
  int TextHeight(const std::string& text) override;
  void StartPage() override;
  void EndPage() override;
  void DrawText(int x, int y, const std::string& text) override;
  std::string Finish() override;

 protected:
  // Drops the document: nothing more is written, also not by the destructor.
  void Discard();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int page_width_;
  int page_height_;
};

// `text` as it can be drawn on one line: valid UTF-8, bytes that are not
// UTF-8 read as Windows-1252, tabs expanded to the next multiple of 8
// characters, other control characters (C0, DEL, C1) as blanks.
std::string PrintableText(const std::string& text);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PRINT_PDF_JOB_H_
