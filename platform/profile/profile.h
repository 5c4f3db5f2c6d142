#ifndef TAVRIN_PLATFORM_PROFILE_PROFILE_H_
#define TAVRIN_PLATFORM_PROFILE_PROFILE_H_

#include <memory>
#include <string>
#include <string_view>

namespace tavrin {

class Env;

// The encoding an INI file was read in.
enum class IniEncoding {
  kMissing,      // no file to read: missing, not a regular file, or unreadable
  kUtf8,         // valid UTF-8 without a byte-order mark (plain ASCII and empty files too)
  kUtf8WithBom,  // starts with the UTF-8 byte-order mark
  kWindows1252,  // not valid UTF-8: the code page of files saved on Windows
};

// The encoding's name for messages: "missing", "UTF-8", "UTF-8 with a
// byte-order mark", "Windows-1252".
constexpr std::string_view IniEncodingName(IniEncoding encoding) {
  switch (encoding) {
    case IniEncoding::kMissing:
      return "missing";
    case IniEncoding::kUtf8:
      return "UTF-8";
    case IniEncoding::kUtf8WithBom:
      return "UTF-8 with a byte-order mark";
    case IniEncoding::kWindows1252:
      return "Windows-1252";
  }
  return "missing";
}

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
  // Returns false when the file could not be written; errno then tells why.
  virtual bool WriteString(const std::string& section, const std::string& key,
                           const std::string& value, const std::string& file) = 0;

  // The encoding `file` is read and written in, as it is now. This base
  // answers kMissing, as for a store that holds no files; a store over files
  // answers for them, and one that wraps another store asks that one.
  virtual IniEncoding Encoding(const std::string& /*file*/) { return IniEncoding::kMissing; }
};

// The file-based store over Env::Default(). Never null; lives for the whole
// process.
//
// File format as it reads and writes it:
// - Lines end in LF or CR LF; each line keeps its own end. Lines that a write
//   adds take the end of the file's first line (CR LF for a file made on
//   Windows); a new file gets LF.
// - A line whose first non-blank character is "[" and that holds a "]" is a
//   section header; the name runs to the last "]" on the line, so section
//   names may themselves hold "]", "=" or ";". Names are compared with blanks
//   around them removed. Only the first section of a name counts.
// - In a section, a line whose first non-blank character is not ";" and that
//   holds "=" is a key line: the key runs to the first "=". Every other line
//   (comments, blank lines, lines before the first section) is kept as it is.
// - A write replaces the key's line with `key=value`, keeping the key's
//   spelling from the file; when the line already reads as `value` it is left
//   as it is (so "Key = 'x'" stays when "x" is written). A new key goes after
//   the last key line of its section, a new section (after a blank line) at
//   the end of the file.
// - Names and values that cannot be stored so that they read back are refused
//   with EINVAL: line breaks or NUL anywhere, a key that is empty, holds "="
//   or starts with ";" or "[".
// - A write that leaves the bytes as they are does not touch the file or
//   need the folder to be writable. Otherwise the file is replaced by a
//   temporary file "." NAME ".tmp" in its folder (flushed to disk, then
//   renamed), keeping its permissions and, where the process may, its owner.
//   An INI that is a symbolic link stays one; its target is replaced.
// - A file marked read-only (no write permission for its owner) is never
//   replaced, by root neither: a write that would change it fails with EPERM.
//   Writers hold an exclusive flock on NAME ".lock" beside the target for
//   the whole read-modify-write, so concurrent writers lose no key; readers
//   take no lock and see the old file or the new one.
// - A path that is not a regular file, or a file over 64 MiB, reads as
//   missing and cannot be written.
// - Names and values are UTF-8 to the caller whatever the file holds. The
//   encoding is decided from the whole file each time it is read:
//   - A file that starts with the UTF-8 byte-order mark is UTF-8: the mark is
//     skipped when reading and kept in front when writing. Bytes in it that
//     are not UTF-8 are read and kept as they stand.
//   - A file that is valid UTF-8 (plain ASCII, an empty or a new file) is
//     UTF-8 and stays so: a section, key or value that is not valid UTF-8
//     is refused with EINVAL, as it would have the file read as
//     Windows-1252 from then on.
//   - Any other file is Windows-1252, as files saved on Windows are: names
//     and values are converted to UTF-8 when read, and what a write sets is
//     converted to Windows-1252, so the file keeps its encoding and every
//     byte of the lines the write does not change. A section, key or value
//     that Windows-1252 cannot hold (a character outside the code page, or
//     text that is not valid UTF-8) is refused with EINVAL and the file is
//     left as it is; a name that it cannot hold is never found when reading.
ProfileStore* DefaultProfileStore();

// A file-based store as DefaultProfileStore's, whose wall clock is that of
// `env` (which must outlive it): it tells how long ago a file was last
// changed.
std::unique_ptr<ProfileStore> NewFileProfileStore(Env& env);

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PROFILE_PROFILE_H_
