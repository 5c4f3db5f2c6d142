#ifndef TAVRIN_PLATFORM_FS_TEMP_NAMES_H_
#define TAVRIN_PLATFORM_FS_TEMP_NAMES_H_

#include <string>

namespace tavrin::fs {

// A fresh name for a temporary file that will replace `target`: hidden,
// beside it (so that the rename stays within one file system), and carrying
// the id of this process, so that a later writer can tell that its writer
// is gone: "<folder>/.<name>.<pid>.<16 hex digits>.tmp". A name too long for
// that to fit in the folder's file name limit (as pathconf gives it, 255
// where it cannot tell) stands in it as its start, "~" and 8 hex digits of
// a hash of the whole name, so that every name the file system accepts can
// be written through a temporary file. Thread-safe.
std::string TempNameFor(const std::string& target);

// Removes the temporary files of `target` named as TempNameFor names them
// whose writing process no longer exists (a writer killed before it could
// clean up). Those of running processes, this one included, and every other
// name are left alone; a process id that was reused since keeps its file
// until a later call. Best effort: what cannot be read or removed is left.
void RemoveDeadWritersTemps(const std::string& target);

}  // namespace tavrin::fs

#endif  // TAVRIN_PLATFORM_FS_TEMP_NAMES_H_
