#ifndef TAVRIN_PLATFORM_PROFILE_PROFILE_TEXT_H_
#define TAVRIN_PLATFORM_PROFILE_PROFILE_TEXT_H_

// The text of an INI file as the file store reads and writes it (the format
// is described in profile.h), apart from the file itself: pure functions,
// thread-safe.

#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

// The value of `key` in the first section named `section` of `text`, read as
// GetString reads it; empty when the section or the key is missing.
std::optional<std::string> ReadProfileText(std::string_view text, std::string_view section,
                                           std::string_view key);

// `text` with `key` of `section` set to `value` as WriteString writes it
// (names already trimmed); `text` itself when the key reads as `value` already.
std::string WriteProfileText(const std::string& text, std::string_view section, std::string_view key,
                             std::string_view value);

// True when a section, key and value (names trimmed) can be stored so that
// they read back: no line break or NUL anywhere, a key that is not empty,
// holds no "=" and does not start with ";" or "[".
bool StorableInProfile(std::string_view section, std::string_view key, std::string_view value);

// `s` without the blanks that surround names and values (" \t\r\v\f").
std::string_view TrimProfileBlanks(std::string_view s);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PROFILE_PROFILE_TEXT_H_
