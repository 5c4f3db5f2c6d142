#ifndef TAVRIN_PLATFORM_ADO_ACCESS_JET_TEXT_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_JET_TEXT_H_

#include <cstddef>
#include <string>

namespace tavrin::ado::access {

// Appends Jet 4 text (UCS-2, or the compressed form that starts FF FE and
// toggles between one and two bytes per character at each 00) as UTF-8. A
// lone surrogate becomes U+FFFD.
void AppendJetText(const unsigned char* p, size_t n, std::string* out);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_JET_TEXT_H_
