#include "platform/ado/provider.h"

#include <algorithm>

#include "platform/text/ascii.h"

namespace tavrin::ado {

namespace {

// Where a value that opens with "{" at `open` ends (one past its "}").
// FreeTDS ends it at the first "}" before a ";" or the end of the text;
// Microsoft's driver reads "}}" as a brace of the value. `widest` takes the
// later of the two.
size_t BracedEnd(std::string_view s, size_t open, bool widest) {
  size_t freetds = s.size();
  for (size_t j = open + 1; j < s.size(); ++j) {
    if (s[j] == '}' && (j + 1 == s.size() || s[j + 1] == ';')) {
      freetds = j + 1;
      break;
    }
  }
  if (!widest) return freetds;
  size_t microsoft = s.size();
  for (size_t j = open + 1; j < s.size(); ++j) {
    if (s[j] != '}') continue;
    if (j + 1 < s.size() && s[j + 1] == '}') {
      ++j;
      continue;
    }
    microsoft = j + 1;
    break;
  }
  return std::max(freetds, microsoft);
}

// Where the value that starts at `v` ends under `syntax`.
size_t ValueEnd(std::string_view s, size_t v, ValueSyntax syntax) {
  const size_t plain = std::min(s.find(';', v), s.size());
  if (v == s.size()) return plain;
  const bool braced = s[v] == '{', quoted = s[v] == '"' || s[v] == '\'';
  switch (syntax) {
    case ValueSyntax::kOleDb: {
      const size_t close = quoted ? s.find(s[v], v + 1) : std::string_view::npos;
      return close == std::string_view::npos ? plain : close + 1;
    }
    case ValueSyntax::kOdbc:
      return braced ? BracedEnd(s, v, false) : plain;
    case ValueSyntax::kAny:
      if (braced) return std::max(BracedEnd(s, v, true), plain);
      if (quoted) {
        const size_t close = s.find(s[v], v + 1);
        if (close != std::string_view::npos) return std::max(close + 1, plain);
      }
      return plain;
  }
  return plain;
}

}  // namespace

std::vector<ConnectionStringPart> ScanConnectionString(std::string_view text, ValueSyntax syntax) {
  std::vector<ConnectionStringPart> out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t eq = text.find('=', i);
    const size_t semi = text.find(';', i);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      if (semi == std::string_view::npos) break;
      i = semi + 1;  // a part without "="
      continue;
    }
    ConnectionStringPart part;
    part.key = text::AsciiLowered(text::Trim(text.substr(i, eq - i), " \t"));
    size_t v = eq + 1;
    while (v < text.size() && (text[v] == ' ' || text[v] == '\t')) ++v;
    part.value_begin = v;
    part.value_end = ValueEnd(text, v, syntax);
    const size_t next = text.find(';', part.value_end);
    out.push_back(std::move(part));
    if (next == std::string_view::npos) break;
    i = next + 1;
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseConnectionString(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  for (ConnectionStringPart& part : ScanConnectionString(text, ValueSyntax::kOleDb)) {
    std::string_view value =
        std::string_view(text).substr(part.value_begin, part.value_end - part.value_begin);
    // A value that opens with a quote ends with its closing one when it
    // has one.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    } else {
      value = text::Trim(value, " \t");
    }
    out.emplace_back(std::move(part.key), std::string(value));
  }
  return out;
}

std::string MaskPasswords(const std::string& text) {
  std::string out;
  size_t copied = 0;
  for (const ConnectionStringPart& part : ScanConnectionString(text, ValueSyntax::kAny)) {
    if (part.key != "pwd" && part.key != "password") continue;
    out.append(text, copied, part.value_begin - copied);
    out += "***";
    copied = part.value_end;
  }
  out.append(text, copied, std::string::npos);
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
