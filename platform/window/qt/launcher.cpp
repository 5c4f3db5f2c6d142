// OpenDesktopWindow of the program without the window toolkit: the window
// is another program, in its own package, so that a server needs no Qt.

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs/paths.h"
#include "platform/window/qt/desktop_window.h"

namespace tavrin {

std::unique_ptr<DesktopWindow> OpenDesktopWindow(char** argv, Env& /*env*/, std::string* why_not) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    *why_not = std::string("The desktop window cannot be started: /proc/self/exe: ") + std::strerror(errno);
    return nullptr;
  }
  const std::string dir = fs::DirName(std::string(self, static_cast<size_t>(n)));
  // Beside the program in the build folder, in libexec where it is installed.
  int error = ENOENT;
  for (const std::string& program :
       {dir + "/tavrin-report-window", dir + "/../libexec/tavrin-report/tavrin-report-window"}) {
    execv(program.c_str(), argv);
    if (errno != ENOENT) error = errno;
  }
  *why_not = error == ENOENT
                 ? "The desktop window is not installed (package tavrin-report-desktop): "
                   "the run is shown here instead."
                 : std::string("The desktop window cannot be started (") + std::strerror(error) +
                       "): the run is shown here instead.";
  return nullptr;
}

}  // namespace tavrin
