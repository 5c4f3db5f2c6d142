#include "platform/print/cups_backend.h"

#include <cups/cups.h>

#include <memory>
#include <string>
#include <utility>

namespace tavrin {
namespace {

// How long a connection waits for the server to take or send data before it
// gives up: short for questions, longer while a document flows. libcups
// tries some requests more than once, so a silent server costs a few times
// this (about 6 seconds to list the printers).
constexpr double kAnswerSeconds = 2.0;
constexpr double kDocumentSeconds = 10.0;
constexpr int kConnectMs = 5000;

// The paper when the printer names no default media.
constexpr char kLetterMedia[] = "na_letter_8.5x11in";
constexpr double kLetterWidthPt = 612;
constexpr double kLetterHeightPt = 792;

int GiveUp(http_t* /*http*/, void* /*data*/) { return 0; }

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
using Http = std::unique_ptr<http_t, HttpCloser>;

struct DestFree {
  void operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
};

// The server as messages name it: a socket's path, or host:port.
std::string ServerDisplayName() {
  const std::string host = cupsServer();
  return host.empty() || host[0] == '/' ? host : host + ":" + std::to_string(ippPort());
}

std::string Unreachable() {
  return "The print server " + ServerDisplayName() + " cannot be reached.";
}

// When the last request on this thread failed for want of a server, why;
// else "". libcups' own text says nothing useful then.
std::string ServerFailure() {
  switch (cupsLastError()) {
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
      return Unreachable();
    case IPP_STATUS_ERROR_INTERNAL:
      return "The print server " + ServerDisplayName() + " did not answer.";
    default:
      return "";
  }
}

// Why the last request on this thread failed: the server's failure, or
// `refused` followed by the server's reason.
std::string RequestError(const std::string& refused) {
  std::string failure = ServerFailure();
  if (!failure.empty()) return failure;
  std::string reason = cupsLastErrorString();
  if (!reason.empty() && reason.back() == '.') reason.pop_back();
  return refused + ": " + reason + ".";
}

// A new connection to the server that waits at most `wait_seconds` for it;
// null when it cannot be made.
Http Connect(double wait_seconds) {
  Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                         kConnectMs, nullptr));
  if (http) httpSetTimeout(http.get(), wait_seconds, GiveUp, nullptr);
  return http;
}

void CancelJob(const std::string& printer, int job_id) {
  const Http http = Connect(kAnswerSeconds);
  if (http) cupsCancelJob2(http.get(), printer.c_str(), job_id, 0);
}

// The connection that a job's document flows on. A base of CupsJob ahead of
// PdfJob, so it exists before the PDF writes its first byte.
struct DocumentStream {
  DocumentStream(Http h, std::string p, int id)
      : http(std::move(h)), printer(std::move(p)), job_id(id) {}

  bool Send(const char* data, size_t size) {
    return http && cupsWriteRequestData(http.get(), data, size) == HTTP_STATUS_CONTINUE;
  }

  Http http;
  const std::string printer;
  const int job_id;
};

class CupsJob : private DocumentStream, public PdfJob {
 public:
  CupsJob(Http connection, std::string printer_name, int id, double width_pt, double height_pt,
          PrintFonts& fonts)
      : DocumentStream(std::move(connection), std::move(printer_name), id),
        PdfJob([this](const char* data, size_t size) { return Send(data, size); }, width_pt,
               height_pt, fonts) {}

  ~CupsJob() override {
    if (done_) return;
    Discard();
    Cancel();
  }

  std::string Finish() override {
    if (done_) return "the job was already ended";
    done_ = true;
    const bool sent = PdfJob::Finish().empty();
    std::string error;
    if (!sent) {
      error =
          RequestError("The print server " + ServerDisplayName() + " stopped taking the document");
    } else if (cupsFinishDocument(http.get(), printer.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE) {
      error = RequestError("The printer \"" + printer + "\" did not take the document");
    } else {
      return "";
    }
    Cancel();
    return error;
  }

 private:
  // Drops the connection, whose request cannot be completed, and cancels
  // the job on a new one.
  void Cancel() {
    http.reset();
    CancelJob(printer, job_id);
  }

  bool done_ = false;
};

}  // namespace

CupsPrintBackend::CupsPrintBackend(PrintFonts::Notice notice) : fonts_(std::move(notice)) {}
CupsPrintBackend::~CupsPrintBackend() = default;

std::string CupsPrintBackend::ServerName() const { return ServerDisplayName(); }

DestinationList CupsPrintBackend::ListDestinations() {
  DestinationList list;
  const Http http = Connect(kAnswerSeconds);
  if (!http) {
    list.error = Unreachable();
    return list;
  }
  cups_dest_t* dests = nullptr;
  const int count = cupsGetDests2(http.get(), &dests);
  // A server without printers answers "not found".
  if (count == 0 && cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE &&
      cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND) {
    list.error =
        RequestError("The print server " + ServerDisplayName() + " did not list its printers");
    return list;
  }
  // Instances (lpoptions' "queue/instance") print on their queue: the queue
  // stands for them, and is the default when one of them is.
  for (int i = 0; i < count; ++i) {
    if (dests[i].instance != nullptr) continue;
    const char* info = cupsGetOption("printer-info", dests[i].num_options, dests[i].options);
    list.destinations.push_back({dests[i].name, info != nullptr ? info : "", false});
  }
  for (int i = 0; i < count; ++i) {
    if (!dests[i].is_default) continue;
    for (PrintDestination& d : list.destinations)
      if (d.name == dests[i].name) d.is_default = true;
  }
  cupsFreeDests(count, dests);
  return list;
}

std::unique_ptr<PrintJob> CupsPrintBackend::StartJob(const std::string& destination,
                                                     const std::string& title, std::string& error) {
  Http http = Connect(kAnswerSeconds);
  if (!http) {
    error = Unreachable();
    return nullptr;
  }
  const std::unique_ptr<cups_dest_t, DestFree> dest(
      cupsGetNamedDest(http.get(), destination.c_str(), nullptr));
  if (!dest) {
    error = ServerFailure();
    if (error.empty())
      error = "There is no printer \"" + destination + "\" on the print server " +
              ServerDisplayName() + ".";
    return nullptr;
  }
  const std::string printer = dest->name;

  // The paper: the user's media option for the printer (lpoptions -o), else
  // the printer's default. (cupsGetDestMediaDefault would take the locale's
  // paper instead of the printer's.)
  std::string media = kLetterMedia;
  double width_pt = kLetterWidthPt, height_pt = kLetterHeightPt;
  if (cups_dinfo_t* info = cupsCopyDestInfo(http.get(), dest.get())) {
    std::string wanted;
    if (const char* option = cupsGetOption("media", dest->num_options, dest->options)) {
      wanted = option;
    } else if (ipp_attribute_t* attr = cupsFindDestDefault(http.get(), dest.get(), info, "media")) {
      if (const char* name = ippGetString(attr, 0, nullptr)) wanted = name;
    }
    cups_size_t size{};
    if (!wanted.empty() &&
        cupsGetDestMediaByName(http.get(), dest.get(), info, wanted.c_str(), 0, &size) &&
        size.width > 0 && size.length > 0) {
      media = size.media;
      width_pt = size.width * 72.0 / 2540.0;  // hundredths of millimetres
      height_pt = size.length * 72.0 / 2540.0;
    }
    cupsFreeDestInfo(info);
  }

  cups_option_t* options = nullptr;
  const int num_options = cupsAddOption("media", media.c_str(), 0, &options);
  const int job_id =
      cupsCreateJob(http.get(), printer.c_str(), title.c_str(), num_options, options);
  cupsFreeOptions(num_options, options);
  if (job_id == 0) {
    error = RequestError("The printer \"" + printer + "\" refused the job");
    return nullptr;
  }
  if (cupsStartDocument(http.get(), printer.c_str(), job_id, title.c_str(), CUPS_FORMAT_PDF, 1) !=
      HTTP_STATUS_CONTINUE) {
    error = RequestError("The printer \"" + printer + "\" refused the document");
    http.reset();
    CancelJob(printer, job_id);
    return nullptr;
  }
  httpSetTimeout(http.get(), kDocumentSeconds, GiveUp, nullptr);
  return std::make_unique<CupsJob>(std::move(http), printer, job_id, width_pt, height_pt, fonts_);
}

}  // namespace tavrin
