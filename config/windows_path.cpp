#include "config/windows_path.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/text/ascii.h"

namespace tavrin {
namespace {

// Passed to the store as the default: no value read from a file holds a
// line break, so a missing key is told from an empty one.
constexpr char kMissing[] = "\n";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Where the first separator at or after `from` stands; the end when none does.
size_t NextSeparator(std::string_view s, size_t from) {
  return static_cast<size_t>(std::find_if(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(), IsSeparator) -
                             s.begin());
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

enum class Form {
  kLocal,          // a path of this machine (perhaps with backslashes)
  kDrive,          // C:, C:\..., c:/...
  kDriveRelative,  // C:name: relative to a current folder of drive C: that is not known here
  kShare,          // \\server..., //server...
  kNoServer,       // two separators and no server name
};

Form FormOf(std::string_view value) {
  if (value.size() >= 2 && IsAsciiLetter(value[0]) && value[1] == ':')
    return value.size() == 2 || IsSeparator(value[2]) ? Form::kDrive : Form::kDriveRelative;
  if (value.size() >= 2 && IsSeparator(value[0]) && IsSeparator(value[1]))
    return value.size() > 2 && !IsSeparator(value[2]) ? Form::kShare : Form::kNoServer;
  return Form::kLocal;
}

// A drive or share path taken apart: its root ("C:" or the server name) and
// the names after it, as spelled in the value (empty names dropped, as
// Windows drops doubled separators).
struct WindowsPath {
  bool share = false;
  std::string_view root;
  std::vector<std::string_view> names;
  std::string_view value;

  WindowsPath(std::string_view v, Form form) : share(form == Form::kShare), value(v) {
    const size_t root_at = share ? 2 : 0;
    size_t at = NextSeparator(v, root_at);
    root = v.substr(root_at, at - root_at);
    while (at < v.size()) {
      const size_t end = NextSeparator(v, at);
      if (end > at) names.push_back(v.substr(at, end - at));
      at = end + 1;
    }
  }

  // The root and the first `count` names joined by `separator`.
  std::string Prefix(size_t count, char separator) const {
    std::string out = share ? std::string(2, separator) : std::string();
    out += root;
    for (size_t i = 0; i < count; ++i) (out += separator) += names[i];
    return out;
  }

  // The root and the first `count` names as the value spells them.
  std::string_view SpelledPrefix(size_t count) const {
    const std::string_view last = count == 0 ? root : names[count - 1];
    return value.substr(0, static_cast<size_t>(last.data() + last.size() - value.data()));
  }
};

std::string Slashed(std::string_view s) {
  std::string out(s);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

// `folder` followed by `names`, each after a "/".
std::string Joined(std::string folder, const std::vector<std::string_view>& names, size_t from) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  for (size_t i = from; i < names.size(); ++i) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    folder += names[i];
  }
  return folder;
}

// The line of [Path Mapping] that a refusal suggests: the value's own folder
// (its drive or share when it has none) mapped to a folder named after it.
std::string SuggestedMapping(const WindowsPath& path) {
  const size_t count = path.names.size() >= 2 ? path.names.size() - 1 : 0;
  const std::string_view last = count == 0 ? path.root : path.names[count - 1];
  const std::string_view name = count == 0 && !path.share ? last.substr(0, 1) : last;
  return std::string(path.SpelledPrefix(count)) + "=/srv/" + text::AsciiLowered(name);
}

void Map(const WindowsPath& path, ProfileStore& store, const std::string& ini_file, IniPath* out) {
  for (size_t count = path.names.size() + 1; count-- > 0;) {
    for (const char separator : {'\\', '/'}) {
      const std::string prefix = path.Prefix(count, separator);
      for (const std::string& key : {prefix, prefix + separator}) {
        const std::string target = store.GetString(kPathMappingSection, key, kMissing, ini_file);
        if (target == kMissing) continue;
        // The line found is the one meant: a shorter prefix does not stand
        // in for a line that cannot be used.
        if (target.empty() || FormOf(target) != Form::kLocal) {
          out->refusal = "a Windows path, which cannot be used here: the line " + key + "=" + target +
                         " of the section [" + kPathMappingSection +
                         "] must map it to a folder of this machine";
          return;
        }
        out->mapping = key;
        out->path = Joined(Slashed(target), path.names, count);
        return;
      }
    }
  }
  out->refusal = "a Windows path, which cannot be used here: add a line such as " + SuggestedMapping(path) +
                 " to the section [" + kPathMappingSection + "]";
}

}  // namespace

IniPath ResolveIniPath(const std::string& key, const std::string& value, ProfileStore& store,
                       const std::string& ini_file) {
  IniPath out{key, value, value, "", ""};
  switch (const Form form = FormOf(value)) {
    case Form::kLocal:
      out.path = Slashed(value);
      break;
    case Form::kDrive:
    case Form::kShare:
      Map(WindowsPath(value, form), store, ini_file, &out);
      break;
    case Form::kDriveRelative:
      out.refusal = "a Windows path relative to the current folder of drive " + value.substr(0, 2) +
                    ", which cannot be used here: write it whole, from " + value.substr(0, 2) +
                    "\\, and map that in the section [" + kPathMappingSection + "]";
      break;
    case Form::kNoServer:
      out.refusal = "a Windows share path without a server name, which cannot be used here";
      break;
  }
  return out;
}

}  // namespace tavrin
