#include "platform/ado/access/access_header.h"

#include <array>
#include <utility>

namespace tavrin::ado::access {

std::optional<AccessVersion> VersionFromByte(uint8_t byte) {
  if (byte > static_cast<uint8_t>(AccessVersion::kAce17)) return std::nullopt;
  return static_cast<AccessVersion>(byte);
}

std::string VersionName(AccessVersion v) {
  switch (v) {
    case AccessVersion::kJet3: return "Jet 3 (Access 97)";
    case AccessVersion::kJet4: return "Jet 4 (Access 2000-2003)";
    case AccessVersion::kAce12: return "ACE 12 (Access 2007)";
    case AccessVersion::kAce14: return "ACE 14 (Access 2010)";
    case AccessVersion::kAce15: return "ACE 15 (Access 2013)";
    case AccessVersion::kAce16: return "ACE 16 (Access 2016)";
    case AccessVersion::kAce17: return "ACE 17 (Access 2019 or later)";
  }
  return "unknown";
}

int PageSize(AccessVersion v) { return v == AccessVersion::kJet3 ? 2048 : 4096; }

const char* Signature(AccessVersion v) {
  return v <= AccessVersion::kJet4 ? "Standard Jet DB" : "Standard ACE DB";
}

size_t MaskedLength(AccessVersion v) { return v == AccessVersion::kJet3 ? 126 : 128; }

void ApplyHeaderMask(unsigned char* data, size_t n) {
  const unsigned char key[4] = {0xC7, 0xDA, 0x39, 0x6B};
  std::array<unsigned char, 256> s;
  for (size_t i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
  for (size_t i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % 4]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  for (size_t k = 0, i = 0, j = 0; k < n; ++k) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    data[k] ^= s[(s[i] + s[j]) & 0xFF];
  }
}

}  // namespace tavrin::ado::access
