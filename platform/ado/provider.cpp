#include "platform/ado/provider.h"

#include "platform/text/ascii.h"

namespace tavrin::ado {

std::vector<std::pair<std::string, std::string>> ParseConnectionString(const std::string& text) {
  const auto trimmed = [&text](size_t begin, size_t end) {
    return std::string(text::Trim(std::string_view(text).substr(begin, end - begin), " \t"));
  };
  std::vector<std::pair<std::string, std::string>> out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t eq = text.find('=', i);
    const size_t semi = text.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      if (semi == std::string::npos) break;
      i = semi + 1;  // a part without "="
      continue;
    }
    std::string key = text::AsciiLowered(trimmed(i, eq));
    size_t v = eq + 1;
    while (v < text.size() && (text[v] == ' ' || text[v] == '\t')) ++v;
    std::string value;
    size_t next;
    const size_t close = v < text.size() && (text[v] == '"' || text[v] == '\'')
                             ? text.find(text[v], v + 1)
                             : std::string::npos;
    if (close != std::string::npos) {
      value = text.substr(v + 1, close - v - 1);
      next = text.find(';', close);
    } else {
      next = text.find(';', v);
      value = trimmed(v, next == std::string::npos ? text.size() : next);
    }
    out.emplace_back(std::move(key), std::move(value));
    if (next == std::string::npos) break;
    i = next + 1;
  }
  return out;
}

void ThrowProviderNotFound(std::vector<ErrorEntry>* errors) {
  errors->push_back({kAdErrProviderNotFound, kProviderNotFoundText});
  throw _com_error(kAdErrProviderNotFound, std::string(kAdoConnectionSource),
                   std::string(kProviderNotFoundText));
}

void ResultSet::ReadRow(int64_t row, std::vector<CellView>& cells) {
  cells.resize(Columns().size());
  for (size_t c = 0; c < cells.size(); ++c) cells[c] = {false, {}, Value(row, static_cast<int>(c))};
}

std::vector<std::string> Provider::Prepare(const std::string& /*sql*/,
                                           std::vector<ErrorEntry>* errors) {
  const char kNotImplemented[] = "The provider cannot prepare a query.";
  errors->push_back({kENotImpl, kNotImplemented});
  throw _com_error(kENotImpl, std::string(kAdoConnectionSource), std::string(kNotImplemented));
}

std::unique_ptr<Provider> ProviderFactory::OpenStandIn(const std::string& /*connection_string*/,
                                                       std::vector<TableShape> /*tables*/,
                                                       std::vector<ErrorEntry>* errors) {
  ThrowProviderNotFound(errors);
}

std::string ProviderFactory::ConnectionStringProblem(const std::string& /*connection_string*/) {
  return "";
}

}  // namespace tavrin::ado
