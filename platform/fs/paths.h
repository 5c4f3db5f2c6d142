#ifndef TAVRIN_PLATFORM_FS_PATHS_H_
#define TAVRIN_PLATFORM_FS_PATHS_H_

#include <cstddef>
#include <string>

namespace tavrin::fs {

// The folder part of `path`: "." when it has no slash, "/" for a file at the
// root.
std::string DirName(const std::string& path);

// What follows the last slash of `path` (all of it when it has none).
std::string BaseName(const std::string& path);

// The longest file name (one path component, in bytes) that `folder` takes,
// as pathconf tells it; NAME_MAX (255) when it cannot tell.
size_t NameMax(const std::string& folder);

// Follows the symbolic links at the end of `path`, dangling ones included
// (a write then creates their target), so that a file put in place by a
// rename lands on the file a link points to instead of replacing the link.
// Sets *target and returns 0, or returns an errno value (ELOOP after the
// kernel's 40 hops, or what lstat or readlink failed with).
int FollowLinks(const std::string& path, std::string* target);

}  // namespace tavrin::fs

#endif  // TAVRIN_PLATFORM_FS_PATHS_H_
