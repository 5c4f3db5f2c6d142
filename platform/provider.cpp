#include "platform/provider.h"

#include <strings.h>

#include <cctype>

#include "platform/access_provider.h"

namespace tavrin::ado {
namespace {

std::string Trimmed(const std::string& s, size_t begin, size_t end) {
  while (begin < end && (s[begin] == ' ' || s[begin] == '\t')) ++begin;
  while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
  return s.substr(begin, end - begin);
}

bool IsAccessProvider(const std::string& name) {
  return strcasecmp(name.c_str(), "Microsoft.Jet.OLEDB.4.0") == 0 ||
         strncasecmp(name.c_str(), "Microsoft.ACE.OLEDB.", 20) == 0;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseConnectionString(const std::string& text) {
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
    std::string key = Trimmed(text, i, eq);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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
      value = Trimmed(text, v, next == std::string::npos ? text.size() : next);
    }
    out.emplace_back(std::move(key), std::move(value));
    if (next == std::string::npos) break;
    i = next + 1;
  }
  return out;
}

std::unique_ptr<Provider> OpenProvider(const std::string& connection_string,
                                       int /*timeout_seconds*/, std::vector<ErrorEntry>* errors) {
  std::string provider, source;
  for (const auto& [key, value] : ParseConnectionString(connection_string)) {
    if (key == "provider") provider = value;
    else if (key == "data source") source = value;
  }
  if (IsAccessProvider(provider)) return OpenAccessProvider(source, errors);
  const char kNotFound[] = "Provider cannot be found. It may not be properly installed.";
  errors->push_back({kAdErrProviderNotFound, kNotFound});
  throw _com_error(kAdErrProviderNotFound, std::string(kAdoConnectionSource), std::string(kNotFound));
}

}  // namespace tavrin::ado
