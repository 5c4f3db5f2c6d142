#include "platform/fs/temp_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <random>
#include <string_view>

#include "platform/fs/paths.h"

namespace tavrin::fs {
namespace {

constexpr size_t kRandomDigits = 16;
constexpr std::string_view kSuffix = ".tmp";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The writer's process id of `name` when it is a temporary name of the file
// called `base`, else 0.
pid_t WriterOf(std::string_view name, const std::string& base) {
  const std::string prefix = "." + base + ".";
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
  return DirName(target) + "/." + BaseName(target) + "." + std::to_string(getpid()) + "." + random +
         std::string(kSuffix);
}

void RemoveDeadWritersTemps(const std::string& target) {
  const std::unique_ptr<DIR, DirCloser> dir(opendir(DirName(target).c_str()));
  if (!dir) return;
  const std::string base = BaseName(target);
  const pid_t self = getpid();
  while (const dirent* entry = readdir(dir.get())) {
    const pid_t writer = WriterOf(entry->d_name, base);
    // kill(pid, 0) checks that the process exists without signalling it;
    // EPERM means it exists under another user.
    if (writer == 0 || writer == self || kill(writer, 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      unlinkat(dirfd(dir.get()), entry->d_name, 0);
  }
}

}  // namespace tavrin::fs
