#ifndef TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_HEADER_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_HEADER_H_

// The facts of an Access file's first page that both the reader's file check
// and the test-data writer need: the version byte, the masked part of the
// header and where its key fields lie. No I/O; thread-safe.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavrin::ado::access {

// The versions of the file format, by the byte at offset 0x14 of the header
// page. Access 2010 writes `03 01 00 00` or `03 00 00 00` there, so only this
// byte names the version, never the four as one number.
enum class AccessVersion : uint8_t {
  kJet3 = 0,   // Access 97: 2 KB pages, single-byte text in the file's code page
  kJet4 = 1,   // Access 2000 to 2003
  kAce12 = 2,  // Access 2007 (.accdb)
  kAce14 = 3,  // Access 2010
  kAce15 = 4,  // Access 2013
  kAce16 = 5,  // Access 2016
  kAce17 = 6,  // Access 2019 and later
};

constexpr size_t kVersionOffset = 0x14;
// The header from here on is enciphered with a fixed RC4 key (HeaderMask).
constexpr size_t kMaskedOffset = 0x18;
// In the deciphered header: the code page, and the key of encoded pages
// (0 when the pages are stored in clear).
constexpr size_t kCodePageOffset = 0x3C;
constexpr size_t kDatabaseKeyOffset = 0x3E;
// The database password: 20 bytes (Jet 3) or 40 (Jet 4 and later).
constexpr size_t kPasswordOffset = 0x42;

// The version a version byte names, or nothing for a value no version has.
std::optional<AccessVersion> VersionFromByte(uint8_t byte);
// "Jet 3 (Access 97)", "ACE 14 (Access 2010)" and so on, for messages.
std::string VersionName(AccessVersion v);
// 2048 bytes for Jet 3, 4096 for the others.
int PageSize(AccessVersion v);
// The signature at offset 4: "Standard Jet DB" up to Jet 4, "Standard ACE DB"
// from ACE 12 on (16 bytes with its terminating zero).
const char* Signature(AccessVersion v);
// How many header bytes from kMaskedOffset are enciphered: 126 for Jet 3,
// 128 for the others.
size_t MaskedLength(AccessVersion v);

// Enciphers or deciphers (the same operation) `n` header bytes that start at
// kMaskedOffset, with the fixed key every Access file uses.
void ApplyHeaderMask(unsigned char* data, size_t n);

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_ACCESS_HEADER_H_
