#ifndef TAVRIN_CONFIG_WINDOWS_PATH_H_
#define TAVRIN_CONFIG_WINDOWS_PATH_H_

#include <string>

#include "platform/profile/profile.h"

namespace tavrin {

// The INI section that maps the folders of Windows paths to folders here,
// one line each: `C:\Closings=/srv/closings`, `\\webserver\wwwroot=/var/www/html`.
// Its keys are only ever read: a missing one is never written back.
inline constexpr char kPathMappingSection[] = "Path Mapping";

// A key of a report that holds a path, as the INI has it and as the program
// uses it. INI files carried over from Windows hold Windows paths.
struct IniPath {
  std::string key;      // "DataPath", "OutputFilename", ...
  std::string value;    // as the INI has it: what messages that name the key quote
  std::string path;     // what to open when usable; the value itself when not
  std::string mapping;  // the key of [Path Mapping] that mapped it (in the value's letters and
                        // the key's separators); empty when none did
  std::string refusal;  // why the value cannot be used here; empty when it can

  bool usable() const { return refusal.empty(); }
};

// The value `value` of the INI key `key` as a path of this machine.
//
// Every backslash is a folder separator (`reports\status.htm` is
// `reports/status.htm`). A Windows path, one that starts with a drive
// (`C:` alone or followed by a separator) or a share (two separators and a
// server name: `\\server\share\...` or `//server/share/...`), is mapped by
// the key of [Path Mapping] of `ini_file` that is its longest prefix of
// whole components (`C:`, `C:\Closings`, `\\server`, `\\server\share`, ...).
// Keys match without regard to ASCII case, written with either separator
// throughout and with or without a separator at the end; the rest of the
// path follows the key's value with "/" (a trailing "/" of the value is not
// doubled).
//
// Refused (`refusal` set, naming the line to add where one would help): a
// Windows path with no mapping, one whose mapping's value is empty or itself
// a Windows path, a drive-relative path (`C:name`) and a share without a
// server name. The section is read through `store`, never written.
IniPath ResolveIniPath(const std::string& key, const std::string& value, ProfileStore& store,
                       const std::string& ini_file);

}  // namespace tavrin

#endif  // TAVRIN_CONFIG_WINDOWS_PATH_H_
