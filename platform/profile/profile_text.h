#ifndef TAVRIN_PLATFORM_PROFILE_PROFILE_TEXT_H_
#define TAVRIN_PLATFORM_PROFILE_PROFILE_TEXT_H_

// The text of an INI file as the file store reads and writes it (the format
// is described in profile.h), apart from the file itself: pure functions,
// thread-safe.

#include <optional>
#include <string>
#include <string_view>

#include "platform/profile/profile.h"

namespace tavrin {

// The value of `key` in the first section named `section` of `text`, read as
// GetString reads it; empty when the section or the key is missing.
std::optional<std::string> ReadProfileText(std::string_view text, std::string_view section,
                                           std::string_view key);

// `text` with `key` of `section` set to `value` as WriteString writes it
// (names already trimmed); `text` itself when the key reads as `value` already.
std::string WriteProfileText(const std::string& text, std::string_view section, std::string_view key,
                             std::string_view value);

// The encoding of a file whose whole content is `bytes` (never kMissing):
// UTF-8 with a byte-order mark when it starts with one, UTF-8 when it is valid
// UTF-8, Windows-1252 otherwise.
IniEncoding DetectProfileEncoding(std::string_view bytes);

// ReadProfileText over a file's `bytes` in their `encoding` (kMissing reads
// as UTF-8): the names are UTF-8, and so is the value returned.
std::optional<std::string> ReadEncodedProfileText(std::string_view bytes, IniEncoding encoding,
                                                  std::string_view section, std::string_view key);

// WriteProfileText over a file's `bytes` in their `encoding` (names trimmed
// and StorableInProfile): the names and the value are UTF-8 and are written
// in the file's encoding, after the byte-order mark when it has one. Nothing
// when the section, the key or the value is not valid UTF-8 (in a file that
// has no byte-order mark it would turn the file into one read as
// Windows-1252) or holds a character Windows-1252 cannot hold (in such a
// file). kMissing writes as UTF-8.
std::optional<std::string> WriteEncodedProfileText(const std::string& bytes, IniEncoding encoding,
                                                   std::string_view section, std::string_view key,
                                                   std::string_view value);

// True when a section, key and value (names trimmed) can be stored so that
// they read back: no line break or NUL anywhere, a key that is not empty,
// holds no "=" and does not start with ";" or "[".
bool StorableInProfile(std::string_view section, std::string_view key, std::string_view value);

// `s` without the blanks that surround names and values (" \t\r\v\f").
std::string_view TrimProfileBlanks(std::string_view s);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PROFILE_PROFILE_TEXT_H_
