#include "platform/print/print_dialog.h"

#include <optional>

#include "platform/text/ascii.h"

namespace tavrin {
namespace {

PrinterChoice Failed(std::string error) { return {PrinterChoice::kFailed, "", std::move(error)}; }
PrinterChoice Chosen(std::string printer) {
  return {PrinterChoice::kChosen, std::move(printer), ""};
}

const PrintDestination* FindByName(const DestinationList& list, std::string_view name) {
  for (const PrintDestination& d : list.destinations)
    if (text::EqualsIgnoreAsciiCase(d.name, name)) return &d;
  return nullptr;
}

const PrintDestination* FindDefault(const DestinationList& list) {
  for (const PrintDestination& d : list.destinations)
    if (d.is_default) return &d;
  return nullptr;
}

// The number 1 to `count` that `answer` is made of, or 0.
size_t ParseNumber(std::string_view answer, size_t count) {
  if (answer.empty() || answer.size() > 4) return 0;
  size_t n = 0;
  for (char c : answer) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<size_t>(c - '0');
  }
  return n <= count ? n : 0;
}

std::string ListText(const DestinationList& list) {
  std::string text = "Print on which printer?\n";
  for (size_t i = 0; i < list.destinations.size(); ++i) {
    const PrintDestination& d = list.destinations[i];
    text += (d.is_default ? "* " : "  ") + std::to_string(i + 1) + ") " + d.name;
    if (!d.description.empty() && d.description != d.name) text += "  " + d.description;
    text += "\n";
  }
  text += "  0) Cancel\n";
  text += FindDefault(list) != nullptr
              ? "Enter prints on the default (*); a number or a name chooses.\n"
              : "A number or a name chooses.\n";
  text += "0, q or Escape cancels.";
  return text;
}

}  // namespace

std::optional<PrinterChoice> ListOrFail(PrintBackend& backend, DestinationList& list) {
  list = backend.ListDestinations();
  if (!list.error.empty()) return Failed(list.error);
  if (list.destinations.empty())
    return Failed("The print server " + backend.ServerName() + " has no printers.");
  return std::nullopt;
}

PrinterChoice WindowPrintDialog::DoModal() {
  DestinationList list;
  if (std::optional<PrinterChoice> failed = ListOrFail(backend_, list)) return *failed;
  const std::string question = ListText(list);
  std::string reason;  // why the last answer is asked again
  for (;;) {
    const std::optional<std::string> answer =
        window_.AskLine(reason.empty() ? question : reason + "\n" + question, "Print");
    if (!answer) return {};
    const std::string_view typed = text::Trim(*answer);
    if (typed == "0" || typed == "q" || typed == "Q") return {};
    const PrintDestination* chosen = nullptr;
    if (typed.empty()) {
      chosen = FindDefault(list);
      reason = "There is no default printer: choose one.";
    } else if (const size_t n = ParseNumber(typed, list.destinations.size()); n > 0) {
      chosen = &list.destinations[n - 1];
    } else {
      chosen = FindByName(list, typed);
      reason = "There is no printer \"" + std::string(typed) + "\".";
    }
    if (chosen != nullptr) return Chosen(chosen->name);
  }
}

PrinterChoice PresetPrintDialog::DoModal() {
  DestinationList list;
  if (std::optional<PrinterChoice> failed = ListOrFail(backend_, list)) return *failed;
  if (!printer_.empty()) {
    if (const PrintDestination* d = FindByName(list, printer_)) return Chosen(d->name);
    return Failed("There is no printer \"" + printer_ + "\" on the print server " +
                  backend_.ServerName() + ".");
  }
  if (const PrintDestination* d = FindDefault(list)) return Chosen(d->name);
  return Failed("No default printer is set on the print server " + backend_.ServerName() +
                ": name one with --printer NAME, or set one with lpoptions -d NAME.");
}

}  // namespace tavrin
