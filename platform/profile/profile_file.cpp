#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/atomic_file.h"
#include "platform/fs/fd.h"
#include "platform/fs/paths.h"
#include "platform/profile/profile.h"
#include "platform/text/ascii.h"

namespace tavrin {
namespace {

// Beyond this an INI file is treated as damaged rather than read into memory.
constexpr off_t kMaxFileBytes = off_t{64} << 20;
// Blanks around names and values. A line break is not one: in a name or a
// value it is refused, never trimmed away.
constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view s) { return text::Trim(s, kBlanks); }

bool NamesMatch(std::string_view a, std::string_view b) {
  return text::EqualsIgnoreAsciiCase(Trim(a), Trim(b));
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// One line of the file: its text is [begin, end), its line end [end, next).
struct Line {
  size_t begin = 0;
  size_t end = 0;
  size_t next = 0;
};

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section or key name, blanks removed
  std::string_view value;  // key lines: the value, blanks removed, quotes kept
};

ParsedLine ParseLine(std::string_view text) {
  ParsedLine out;
  std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') return out;
  if (t.front() == '[') {
    size_t close = t.rfind(']');
    if (close == std::string_view::npos) return out;
    out.kind = LineKind::kSection;
    out.name = Trim(t.substr(1, close - 1));
    return out;
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return out;
  out.kind = LineKind::kKey;
  out.name = Trim(t.substr(0, eq));
  out.value = Trim(t.substr(eq + 1));
  return out;
}

// Where a key of a section stands in the file text.
struct Location {
  std::optional<Line> section;   // the header of the first section of that name
  std::optional<Line> key;       // the key's line in that section
  std::string_view key_name;     // as spelled in the file
  std::string_view key_value;    // raw, quotes kept
  std::optional<Line> last_key;  // the last key line of the section
  std::optional<Line> last_line; // the last line scanned: the file's last
                                 // when the section is missing
};

Location Locate(std::string_view text, std::string_view section, std::string_view key) {
  Location loc;
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      line.end = line.next = text.size();
    } else {
      line.next = nl + 1;
      line.end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
    }
    pos = line.next;
    loc.last_line = line;

    ParsedLine parsed = ParseLine(text.substr(line.begin, line.end - line.begin));
    if (parsed.kind == LineKind::kSection) {
      if (in_section) break;
      if (!loc.section && NamesMatch(parsed.name, section)) {
        loc.section = line;
        in_section = true;
      }
    } else if (parsed.kind == LineKind::kKey && in_section) {
      loc.last_key = line;
      if (NamesMatch(parsed.name, key)) {
        loc.key = line;
        loc.key_name = parsed.name;
        loc.key_value = parsed.value;
        break;
      }
    }
  }
  return loc;
}

// The file with `key` of `section` set to `value`; the text itself when the
// key already reads as `value`.
std::string ApplyWrite(const std::string& text, std::string_view section, std::string_view key,
                       std::string_view value) {
  Location loc = Locate(text, section, key);
  size_t first_nl = text.find('\n');
  const std::string_view eol =
      (first_nl != std::string::npos && first_nl > 0 && text[first_nl - 1] == '\r') ? "\r\n"
                                                                                     : "\n";
  std::string out;
  out.reserve(text.size() + section.size() + key.size() + value.size() + 8);
  if (loc.key) {
    if (Unquote(loc.key_value) == value) return text;
    out.append(text, 0, loc.key->begin);
    out.append(loc.key_name).append("=").append(value);
    out.append(text, loc.key->end, std::string::npos);
    return out;
  }
  if (loc.section) {
    const Line& anchor = loc.last_key ? *loc.last_key : *loc.section;
    out.append(text, 0, anchor.next);
    if (anchor.next == anchor.end) out.append(eol);  // the file's last line had no end
    out.append(key).append("=").append(value).append(eol);
    out.append(text, anchor.next, std::string::npos);
    return out;
  }
  out = text;
  if (loc.last_line) {
    if (loc.last_line->next == loc.last_line->end) out.append(eol);
    if (!Trim(std::string_view(text).substr(loc.last_line->begin,
                                            loc.last_line->end - loc.last_line->begin))
             .empty()) {
      out.append(eol);
    }
  }
  out.append("[").append(section).append("]").append(eol);
  out.append(key).append("=").append(value).append(eol);
  return out;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool Storable(std::string_view section, std::string_view key, std::string_view value) {
  if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value)) {
    return false;
  }
  return !key.empty() && key.find('=') == std::string_view::npos && key.front() != ';' &&
         key.front() != '[';
}

// Reads a regular file whole. Returns 0 or an errno value; `st` gets the
// file's status when it could be opened.
int ReadWhole(const std::string& path, std::string* text, struct stat* st) {
  // O_NONBLOCK so that a FIFO put in the INI's place cannot block the open.
  fs::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno;
  if (fstat(fd.get(), st) != 0) return errno;
  if (S_ISDIR(st->st_mode)) return EISDIR;
  if (!S_ISREG(st->st_mode)) return EINVAL;
  if (st->st_size > kMaxFileBytes) return EFBIG;
  text->clear();
  text->reserve(static_cast<size_t>(st->st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (text->size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxFileBytes)) return EFBIG;
    text->append(buf, static_cast<size_t>(n));
  }
}

// Puts `text` in place of `target` (whose status is `old`, or null for a new
// file) through a temporary file in the same folder. Caller holds the lock.
int ReplaceFile(const std::string& target, const struct stat* old, std::string_view text) {
  const std::string temp = fs::DirName(target) + "/." + fs::BaseName(target) + ".tmp";
  // Only the lock holder uses this name, so one found here is left over
  // from a writer that died; it is not ours to keep.
  if (unlink(temp.c_str()) != 0 && errno != ENOENT) return errno;
  std::unique_ptr<fs::AtomicFile> file;
  if (int err = fs::AtomicFile::Create(target, temp, old, &file)) return err;
  if (int err = file->Write(text)) return err;
  return file->Commit();
}

int LockExclusive(const std::string& lock_path, fs::UniqueFd* lock) {
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  // A lock file made by another user may not be writable to us; flock does
  // not need write access. When there is none, the folder refused to take
  // it, and that is the reason to report.
  if (fd < 0 && errno == EACCES) {
    fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) return EACCES;
  }
  if (fd < 0) return errno;
  lock->Reset(fd);
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int WriteProfileString(const std::string& section, const std::string& key,
                       const std::string& value, const std::string& file) {
  const std::string_view trimmed_key = Trim(key);
  const std::string_view trimmed_section = Trim(section);
  if (file.empty() || !Storable(trimmed_section, trimmed_key, value)) return EINVAL;
  std::string target;
  if (int err = fs::FollowLinks(file, &target)) return err;

  // Nothing to do needs no lock: readers of an atomically replaced file see
  // a whole version, and a later writer's change does not depend on ours.
  std::string text;
  struct stat st;
  int err = ReadWhole(target, &text, &st);
  if (err == 0 && ApplyWrite(text, trimmed_section, trimmed_key, value) == text) return 0;
  if (err != 0 && err != ENOENT) return err;

  fs::UniqueFd lock;
  if (int lock_err = LockExclusive(target + ".lock", &lock)) return lock_err;
  // Read again under the lock: another writer may have replaced the file.
  err = ReadWhole(target, &text, &st);
  if (err == ENOENT) {
    text.clear();
  } else if (err != 0) {
    return err;
  }
  std::string updated = ApplyWrite(text, trimmed_section, trimmed_key, value);
  if (err == 0 && updated == text) return 0;
  return ReplaceFile(target, err == 0 ? &st : nullptr, updated);
}

class FileProfileStore : public ProfileStore {
 public:
  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, const std::string& file) override {
    std::string text;
    struct stat st;
    if (ReadWhole(file, &text, &st) != 0) return default_value;
    Location loc = Locate(text, section, key);
    if (!loc.key) return default_value;
    return std::string(Unquote(loc.key_value));
  }

  bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file) override {
    int err = WriteProfileString(section, key, value, file);
    if (err == 0) return true;
    errno = err;
    return false;
  }
};

}  // namespace

ProfileStore* DefaultProfileStore() {
  static FileProfileStore store;
  return &store;
}

}  // namespace tavrin
