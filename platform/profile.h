#ifndef TAVRIN_PLATFORM_PROFILE_H_
#define TAVRIN_PLATFORM_PROFILE_H_

#include <string>

namespace tavrin {

// The private-profile pair over INI files. Section and key names match
// regardless of ASCII letter case. Implementations are thread-safe.
class ProfileStore {
 public:
  virtual ~ProfileStore() = default;

  // The value of `key` in `section` of `file`, read as Windows reads it
  // (blanks around key, "=" and value removed; one pair of enclosing single
  // or double quotation marks removed), or `default_value` when the file, the
  // section or the key is missing or the file cannot be read. The value is
  // returned whole: callers that limit its length cut it themselves.
  virtual std::string GetString(const std::string& section, const std::string& key,
                                const std::string& default_value,
                                const std::string& file) = 0;

  // Sets `key` in `section` of `file` to `value`, creating the file, the
  // section or the key as needed and keeping every other line. The file is
  // replaced atomically and the change is serialised with other processes.
  // Returns false when the file could not be written.
  virtual bool WriteString(const std::string& section, const std::string& key,
                           const std::string& value, const std::string& file) = 0;
};

// The file-based store. Never null; lives for the whole process.
ProfileStore* DefaultProfileStore();

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PROFILE_H_
