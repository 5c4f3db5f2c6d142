#include "platform/fs/temp_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string_view>

#include "platform/fs/paths.h"
#include "platform/text/utf8.h"

namespace tavrin::fs {
namespace {

constexpr size_t kRandomDigits = 16;
constexpr std::string_view kSuffix = ".tmp";
// Linux process ids stay below 2^22 (PID_MAX_LIMIT), 7 digits at most.
constexpr size_t kPidDigits = 7;
// What a temporary name adds to the stem: "." "." <pid> "." <random> ".tmp".
constexpr size_t kAddedBytes = 3 + kPidDigits + kRandomDigits + kSuffix.size();
constexpr size_t kHashDigits = 8;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// 32-bit FNV-1a: fixed here, so that every version of the program names the
// temporary files of a long name alike and removes those of another.
uint32_t NameHash(std::string_view text) {
  uint32_t hash = 2166136261u;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

// What stands for the file called `base` in its temporary names, in a
// folder whose names are at most `name_max` bytes: `base` itself when the
// name fits, else its start and the hash of all of it. The same for every
// process, so that any writer recognises the temporary files of another.
std::string TempStem(const std::string& base, size_t name_max) {
  const size_t room = name_max > kAddedBytes ? name_max - kAddedBytes : 0;
  if (base.size() <= room) return base;
  const size_t keep = room > kHashDigits + 1 ? room - kHashDigits - 1 : 0;
  char hash[kHashDigits + 1];
  std::snprintf(hash, sizeof hash, "%08x", static_cast<unsigned>(NameHash(base)));
  return base.substr(0, text::Utf8CutLength(base, keep)) + "~" + hash;
}

// The writer's process id of `name` when it is a temporary name of the file
// whose stem is `stem`, else 0.
pid_t WriterOf(std::string_view name, const std::string& stem) {
  const std::string prefix = "." + stem + ".";
  if (name.size() <= prefix.size() + kRandomDigits + 1 + kSuffix.size() ||
      name.substr(0, prefix.size()) != prefix || name.substr(name.size() - kSuffix.size()) != kSuffix)
    return 0;
  name.remove_prefix(prefix.size());
  name.remove_suffix(kSuffix.size());
  // "<pid>.<16 hex digits>"
  const std::string_view random = name.substr(name.size() - kRandomDigits);
  if (random.find_first_not_of("0123456789abcdef") != std::string_view::npos) return 0;
  name.remove_suffix(kRandomDigits);
  if (name.size() < 2 || name.back() != '.') return 0;
  name.remove_suffix(1);
  pid_t pid = 0;
  const auto [end, err] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (err != std::errc() || end != name.data() + name.size() || pid <= 0) return 0;
  return pid;
}

}  // namespace

std::string TempNameFor(const std::string& target) {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char random[kRandomDigits + 1];
  std::snprintf(random, sizeof random, "%016llx", static_cast<unsigned long long>(generator()));
  const std::string folder = DirName(target);
  return folder + "/." + TempStem(BaseName(target), NameMax(folder)) + "." + std::to_string(getpid()) +
         "." + random + std::string(kSuffix);
}

void RemoveDeadWritersTemps(const std::string& target) {
  const std::string folder = DirName(target);
  const std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return;
  const std::string stem = TempStem(BaseName(target), NameMax(folder));
  const pid_t self = getpid();
  while (const dirent* entry = readdir(dir.get())) {
    const pid_t writer = WriterOf(entry->d_name, stem);
    // kill(pid, 0) checks that the process exists without signalling it;
    // EPERM means it exists under another user.
    if (writer == 0 || writer == self || kill(writer, 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      unlinkat(dirfd(dir.get()), entry->d_name, 0);
  }
}

}  // namespace tavrin::fs
