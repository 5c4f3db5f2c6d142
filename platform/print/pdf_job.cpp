#include "platform/print/pdf_job.h"

#include <cairo-ft.h>
#include <cairo-pdf.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cmath>
#include <map>
#include <mutex>

#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

constexpr size_t kTabWidth = 8;
constexpr char kCourierStandIn[] = "Liberation Mono";

struct FontFaceDeleter {
  void operator()(cairo_font_face_t* face) const { cairo_font_face_destroy(face); }
};
using FontFacePtr = std::unique_ptr<cairo_font_face_t, FontFaceDeleter>;

struct PatternDeleter {
  void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;

// The font fontconfig chooses for `family`: null when no font is installed.
struct FontMatch {
  PatternPtr pattern;
  std::string family;
  bool fixed_pitch = false;
};

FontMatch MatchFamily(const std::string& family) {
  FontMatch match;
  const PatternPtr request(FcPatternCreate());
  FcPatternAddString(request.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcConfigSubstitute(nullptr, request.get(), FcMatchPattern);
  FcDefaultSubstitute(request.get());
  FcResult result = FcResultNoMatch;
  match.pattern.reset(FcFontMatch(nullptr, request.get(), &result));
  if (!match.pattern) return match;
  FcChar8* found = nullptr;
  if (FcPatternGetString(match.pattern.get(), FC_FAMILY, 0, &found) != FcResultMatch) {
    match.pattern.reset();  // an empty configuration matches a pattern without a font
    return match;
  }
  match.family = reinterpret_cast<const char*>(found);
  int spacing = FC_PROPORTIONAL;
  FcPatternGetInteger(match.pattern.get(), FC_SPACING, 0, &spacing);
  match.fixed_pitch = spacing == FC_MONO || spacing == FC_DUAL || spacing == FC_CHARCELL;
  return match;
}

}  // namespace

struct PrintFonts::Impl {
  explicit Impl(Notice n) : notice(std::move(n)) {}

  // The cairo face for `face`, found on first use; owned by this object.
  cairo_font_face_t* Face(const std::string& face) {
    std::string remark;
    cairo_font_face_t* result = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu);
      const std::string key = text::AsciiLowered(face);
      if (auto it = faces.find(key); it != faces.end()) return it->second.get();
      const std::string wanted = key == "courier" ? kCourierStandIn : face;
      FontMatch match = MatchFamily(wanted);
      if (match.pattern && !match.fixed_pitch) {
        FontMatch mono = MatchFamily("monospace");
        if (mono.fixed_pitch) match = std::move(mono);
      }
      const std::string install = " Install the package fonts-liberation.";
      FontFacePtr made;
      if (!match.pattern) {
        remark =
            "No font is installed for printing: the listing prints in a built-in font "
            "whose columns do not line up." +
            install;
        made.reset(cairo_toy_font_face_create("monospace", CAIRO_FONT_SLANT_NORMAL,
                                              CAIRO_FONT_WEIGHT_NORMAL));
      } else {
        if (!match.fixed_pitch) {
          remark = "Printing in \"" + match.family +
                   "\", which has no fixed pitch: the columns of the listing do not line up." +
                   install;
        } else if (!text::EqualsIgnoreAsciiCase(match.family, wanted)) {
          remark = "Printing in \"" + match.family + "\": the font \"" + wanted +
                   "\" is not installed, so lines and pages may differ in size." +
                   (wanted == kCourierStandIn ? install : "");
        }
        made.reset(cairo_ft_font_face_create_for_pattern(match.pattern.get()));
      }
      result = made.get();
      faces.emplace(key, std::move(made));
    }
    if (!remark.empty() && notice) notice(remark);
    return result;
  }

  Notice notice;
  std::mutex mu;
  std::map<std::string, FontFacePtr> faces;  // by the face asked for, lower case
};

PrintFonts::PrintFonts(Notice notice) : impl_(std::make_unique<Impl>(std::move(notice))) {}
PrintFonts::~PrintFonts() = default;

struct PdfJob::Impl {
  Impl(Writer w, PrintFonts& f) : write(std::move(w)), fonts(f) {}

  static cairo_status_t Write(void* closure, const unsigned char* data, unsigned int length) {
    Impl& impl = *static_cast<Impl*>(closure);
    if (impl.discarded || impl.write_failed) return CAIRO_STATUS_WRITE_ERROR;
    if (!impl.write(reinterpret_cast<const char*>(data), length)) {
      impl.write_failed = true;
      return CAIRO_STATUS_WRITE_ERROR;
    }
    return CAIRO_STATUS_SUCCESS;
  }

  void TakeFontMetrics() {
    cairo_font_extents_t extents;
    cairo_font_extents(cr, &extents);
    ascent = extents.ascent;
    line_height = static_cast<int>(std::ceil(extents.ascent + extents.descent));
  }

  // Destroys the drawing context and the surface, which writes what is left.
  cairo_status_t Close() {
    cairo_destroy(cr);
    cr = nullptr;
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    surface = nullptr;
    return status;
  }

  Writer write;
  PrintFonts& fonts;
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
  double ascent = 0;
  int line_height = 0;
  bool page_open = false;
  bool finished = false;
  bool discarded = false;
  bool write_failed = false;
};

PdfJob::PdfJob(Writer write, double width_pt, double height_pt, PrintFonts& fonts)
    : impl_(std::make_unique<Impl>(std::move(write), fonts)),
      page_width_(static_cast<int>(std::lround(width_pt * kDpi / 72.0))),
      page_height_(static_cast<int>(std::lround(height_pt * kDpi / 72.0))) {
  impl_->surface =
      cairo_pdf_surface_create_for_stream(&Impl::Write, impl_.get(), width_pt, height_pt);
  impl_->cr = cairo_create(impl_->surface);
  cairo_scale(impl_->cr, 72.0 / kDpi, 72.0 / kDpi);
  // Unhinted metrics: the same line height and advance on every device.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  cairo_set_font_options(impl_->cr, options);
  cairo_font_options_destroy(options);
  impl_->TakeFontMetrics();
}

PdfJob::~PdfJob() {
  if (!impl_->finished) Discard();
}

void PdfJob::SetFont(const std::string& face, int height) {
  if (impl_->finished) return;
  cairo_set_font_face(impl_->cr, impl_->fonts.impl_->Face(face));
  cairo_set_font_size(impl_->cr, height);
  impl_->TakeFontMetrics();
}

int PdfJob::TextHeight(const std::string& /*text*/) { return impl_->line_height; }

void PdfJob::StartPage() {
  if (!impl_->finished) impl_->page_open = true;
}

void PdfJob::EndPage() {
  if (!impl_->page_open || impl_->finished) return;
  cairo_show_page(impl_->cr);
  impl_->page_open = false;
}

void PdfJob::DrawText(int x, int y, const std::string& text) {
  if (!impl_->page_open || impl_->finished) return;
  const std::string printable = PrintableText(text);
  cairo_move_to(impl_->cr, x, y + impl_->ascent);
  cairo_show_text(impl_->cr, printable.c_str());
}

std::string PdfJob::Finish() {
  if (impl_->finished) return "the document was already ended";
  EndPage();
  const cairo_status_t status = impl_->Close();
  impl_->finished = true;
  if (impl_->write_failed) return "the document could not be sent";
  if (status != CAIRO_STATUS_SUCCESS)
    return std::string("the document is damaged: ") + cairo_status_to_string(status);
  return "";
}

void PdfJob::Discard() {
  if (impl_->finished) return;
  impl_->discarded = true;
  impl_->Close();
  impl_->finished = true;
}

std::string PrintableText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t column = 0;
  for (size_t pos = 0; pos < text.size();) {
    const text::Utf8Char ch = text::DecodeUtf8(text, pos);
    pos += ch.length;
    char32_t c =
        ch.valid ? ch.code_point : text::Cp1252Char(static_cast<unsigned char>(ch.code_point));
    if (c == '\t') {
      do {
        out += ' ';
      } while (++column % kTabWidth != 0);
      continue;
    }
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) c = ' ';
    text::AppendUtf8(c, &out);
    ++column;
  }
  return out;
}

}  // namespace tavrin
