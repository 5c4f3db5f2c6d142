#include "app/service_check.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "config/report_definition.h"
#include "output/report_output.h"
#include "platform/fs/paths.h"
#include "platform/text/ascii.h"

namespace tavrin {
namespace {

constexpr char kScheduleUnit[] = "tavrin-report-schedule.service";
constexpr char kReportUnit[] = "tavrin-report@.service";
constexpr char kReportFolder[] = "/var/lib/tavrin-report";

// True when `path` is `folder` or lies under it.
bool IsUnder(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

bool IsYes(const std::string& value) {
  return text::EqualsIgnoreAsciiCase(value, "yes") || text::EqualsIgnoreAsciiCase(value, "true") ||
         value == "1" || text::EqualsIgnoreAsciiCase(value, "on");
}

std::vector<std::string> Words(const std::string& value) {
  std::vector<std::string> words;
  std::istringstream in(value);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// A path of ReadWritePaths= and the like without its "-" (ignore if
// missing) and "+" prefixes, and without a trailing "/".
std::string ListedPath(std::string word) {
  while (!word.empty() && (word.front() == '-' || word.front() == '+')) word.erase(0, 1);
  while (word.size() > 1 && word.back() == '/') word.pop_back();
  return word;
}

void SetHidden(ServiceView* view, const std::vector<std::string>& paths, const std::string& why) {
  auto& hidden = view->hidden;
  hidden.erase(std::remove_if(hidden.begin(), hidden.end(),
                              [&](const ServiceView::Hidden& h) {
                                return std::find(paths.begin(), paths.end(), h.path) != paths.end();
                              }),
               hidden.end());
  if (why.empty()) return;
  for (const std::string& path : paths) hidden.push_back({path, why});
}

// The absolute form of `path` as seen from `cwd`, its links resolved as far
// as this process can see them.
std::string Resolved(const std::string& cwd, const std::string& path) {
  const std::string absolute = path.empty() || path[0] == '/' ? path : cwd + "/" + path;
  char buffer[PATH_MAX];
  if (realpath(absolute.c_str(), buffer) != nullptr) return buffer;
  const std::string folder = fs::DirName(absolute);
  if (realpath(folder.c_str(), buffer) != nullptr)
    return std::string(buffer) + (buffer[1] == '\0' ? "" : "/") + fs::BaseName(absolute);
  return absolute;
}

// "a", "a and b", "a, b and c".
std::string Joined(const std::vector<std::string>& names) {
  std::string joined;
  for (size_t i = 0; i < names.size(); ++i)
    joined += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return joined;
}

// The per-report findings: for each of `paths` (key, value, absolute path,
// whether the service writes there), the units that hide it or, for a
// written folder, leave it read-only.
struct Place {
  std::string key;
  std::string value;
  std::string path;
  bool written;
};

void CheckPlaces(const std::vector<ServiceView>& views, const std::vector<Place>& places,
                 const FindingSink& add) {
  for (const Place& place : places) {
    // Units grouped by what keeps them out, in the order they came.
    std::vector<std::pair<std::string, std::vector<std::string>>> blocked;
    for (const ServiceView& view : views) {
      std::string why;
      const ServiceAccess access = AccessIn(view, place.path, &why);
      if (access == ServiceAccess::kWritable || (access == ServiceAccess::kReadOnly && !place.written))
        continue;
      if (access == ServiceAccess::kReadOnly) why = "ProtectSystem=strict";
      auto it = std::find_if(blocked.begin(), blocked.end(), [&](const auto& b) { return b.first == why; });
      if (it == blocked.end()) it = blocked.insert(blocked.end(), {why, {}});
      it->second.push_back(view.unit);
    }
    for (const auto& [why, units] : blocked) {
      const std::string what = place.written ? "the folder \"" + place.path + "\"" : "\"" + place.path + "\"";
      if (why == "ProtectSystem=strict") {
        add(true, place.key, place.value,
            what + " is read-only to " + Joined(units) + " (" + why +
                "): add it to ReadWritePaths= with systemctl edit");
      } else {
        add(true, place.key, place.value, what + " is invisible to " + Joined(units) + " (" + why + ")");
      }
    }
  }
}

class LinuxServiceHost : public ServiceHost {
 public:
  std::string BecomeUser(const std::string& user) override {
    errno = 0;
    const passwd* pw = getpwnam(user.c_str());
    if (pw == nullptr) {
      return errno != 0 ? "the user database cannot be read: " + std::string(std::strerror(errno))
                        : "there is no user " + user + " (the package makes it with systemd-sysusers)";
    }
    umask(022);
    if (getuid() == pw->pw_uid && geteuid() == pw->pw_uid) return "";
    if (geteuid() != 0) return "only root can check as user " + user + ": run it with sudo";
    // Groups first: once the user is changed, they could not be.
    if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
      return "cannot become user " + user + ": " + std::strerror(errno);
    return "";
  }

  std::vector<std::string> DropIns(const std::string& unit) override {
    // A file of a folder earlier in the list hides one of the same name in
    // a later one; all of them apply in the order of their names.
    std::map<std::string, std::string> files;
    for (const char* base : {"/etc/systemd/system/", "/run/systemd/system/", "/usr/lib/systemd/system/",
                             "/lib/systemd/system/"}) {
      const std::string folder = base + unit + ".d";
      DIR* dir = opendir(folder.c_str());
      if (dir == nullptr) continue;
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0)
          files.emplace(name, folder + "/" + name);
      }
      closedir(dir);
    }
    std::vector<std::string> texts;
    for (const auto& [name, path] : files) {
      std::ifstream in(path);
      std::ostringstream text;
      text << in.rdbuf();
      texts.push_back(text.str());
    }
    return texts;
  }
};

}  // namespace

std::vector<ServiceView> PackagedServiceViews() {
  ServiceView view;
  view.user = kServiceUser;
  view.folder = kReportFolder;
  view.writable = {kReportFolder};
  view.hidden = {{"/home", "ProtectHome=yes"},
                 {"/root", "ProtectHome=yes"},
                 {"/run/user", "ProtectHome=yes"},
                 {"/tmp", "PrivateTmp=yes"},
                 {"/var/tmp", "PrivateTmp=yes"}};
  ServiceView schedule = view;
  schedule.unit = kScheduleUnit;
  view.unit = kReportUnit;
  return {schedule, view};
}

void ApplyUnitText(const std::string& text, ServiceView* view) {
  std::istringstream in(text);
  bool service = false;
  for (std::string line; std::getline(in, line);) {
    line = std::string(text::Trim(line));
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      service = line == "[Service]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!service || eq == std::string::npos) continue;
    const std::string key(text::Trim(line.substr(0, eq)));
    const std::string value(text::Trim(line.substr(eq + 1)));
    if (key == "User") {
      view->user = value;
    } else if (key == "WorkingDirectory") {
      view->folder = ListedPath(value);
    } else if (key == "ReadWritePaths" || key == "StateDirectory") {
      if (value.empty()) view->writable.clear();
      for (const std::string& word : Words(value))
        view->writable.push_back(key == "StateDirectory" ? "/var/lib/" + word : ListedPath(word));
    } else if (key == "InaccessiblePaths") {
      std::vector<std::string> paths;
      for (const std::string& word : Words(value)) paths.push_back(ListedPath(word));
      SetHidden(view, paths, "InaccessiblePaths=");
    } else if (key == "ProtectHome") {
      // read-only leaves them visible; ProtectSystem=strict keeps them
      // unwritable.
      const bool hides = IsYes(value) || value == "tmpfs";
      SetHidden(view, {"/home", "/root", "/run/user"}, hides ? "ProtectHome=" + value : "");
    } else if (key == "PrivateTmp") {
      SetHidden(view, {"/tmp", "/var/tmp"}, IsYes(value) ? "PrivateTmp=" + value : "");
    }
  }
}

ServiceAccess AccessIn(const ServiceView& view, const std::string& path, std::string* why) {
  for (const ServiceView::Hidden& hidden : view.hidden) {
    if (!IsUnder(path, hidden.path)) continue;
    if (why != nullptr) *why = hidden.why + " hides " + hidden.path;
    return ServiceAccess::kHidden;
  }
  for (const std::string& writable : view.writable)
    if (IsUnder(path, writable)) return ServiceAccess::kWritable;
  return ServiceAccess::kReadOnly;
}

std::unique_ptr<ServiceHost> NewLinuxServiceHost() { return std::make_unique<LinuxServiceHost>(); }

CheckResult CheckReportsAsService(Env& env, FileSystem& files, ProfileStore& store,
                                  ado::ProviderFactory& providers, const std::string& report,
                                  ServiceHost& host) {
  std::vector<ServiceView> views = PackagedServiceViews();
  std::string head;
  for (ServiceView& view : views) {
    for (const std::string& text : host.DropIns(view.unit)) ApplyUnitText(text, &view);
    std::string writable;
    std::string hidden;
    for (const std::string& path : view.writable) writable += " " + path;
    for (const ServiceView::Hidden& h : view.hidden) hidden += " " + h.path;
    head += "service: " + view.unit + " runs as " + view.user + " in " + view.folder + "; writes" +
            (writable.empty() ? " nothing" : writable) + "; cannot see" + (hidden.empty() ? " -" : hidden) +
            "\n";
  }

  CheckResult result;
  if (const std::string why = host.BecomeUser(kServiceUser); !why.empty()) {
    result.text = head + "error: cannot check as the service: " + why + "\n";
    result.status = 1;
    return result;
  }
  const std::string cwd = env.CurrentDirectory();
  for (const ServiceView& view : views) {
    if (view.folder != cwd) {
      head += "warning: " + view.unit + " runs in " + view.folder + ", not in " + cwd +
              ": this folder is checked as if it ran here\n";
    }
  }

  result = CheckReports(env, files, store, providers, report, [&](const CReportDefinition& def, const FindingSink& add) {
    std::vector<Place> places;
    const auto place = [&](const IniPath& key, bool written) {
      if (key.value.empty() || !key.usable()) return;
      const std::string path = Resolved(cwd, key.path);
      places.push_back({key.key, key.value, written ? fs::DirName(path) : path, written});
    };
    place(def.m_DataPathKey, false);
    switch (ParseOutputKind(def.m_strOutput)) {
      case OutputKind::kXml:
        place(def.m_HeaderFileKey, false);
        place(def.m_TrailerFileKey, false);
        [[fallthrough]];
      case OutputKind::kCsv:
      case OutputKind::kHtml:
        place(def.m_OutputFilenameKey, true);
        break;
      case OutputKind::kPrinter:
      case OutputKind::kSqlServer:
        break;
    }
    CheckPlaces(views, places, add);
  });
  result.text = head + result.text;
  return result;
}

}  // namespace tavrin
