#include "platform/fs/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace tavrin::fs {
namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel allows in one lookup

}  // namespace

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

size_t NameMax(const std::string& folder) {
  const long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : NAME_MAX;
}

int FollowLinks(const std::string& path, std::string* target) {
  std::string current = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      break;  // nothing there (yet): the path itself is the target
    }
    if (!S_ISLNK(st.st_mode)) break;
    if (hops == kMaxLinkHops) return ELOOP;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4095) + 1, '\0');
    const ssize_t n = readlink(current.c_str(), link.data(), link.size());
    if (n < 0) return errno;
    if (n == 0) return ENOENT;  // an empty link names nothing
    // The link changed between lstat and readlink; a second look settles it.
    if (static_cast<size_t>(n) >= link.size()) continue;
    link.resize(static_cast<size_t>(n));
    current = link.front() == '/' ? link : DirName(current) + "/" + link;
  }
  *target = current;
  return 0;
}

}  // namespace tavrin::fs
