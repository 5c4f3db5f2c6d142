#ifndef TAVRIN_APP_SERVICE_CHECK_H_
#define TAVRIN_APP_SERVICE_CHECK_H_

#include <memory>
#include <string>
#include <vector>

#include "app/config_check.h"

namespace tavrin {

// The system user the package's units run as (packaging/sysusers/).
inline constexpr char kServiceUser[] = "tavrin-report";

// What a unit of the package lets its service see and write.
struct ServiceView {
  struct Hidden {
    std::string path;  // a folder the service cannot see, or sees empty
    std::string why;   // the setting that hides it: "ProtectHome=yes"
  };
  std::string unit;                   // "tavrin-report-schedule.service"
  std::string user;                   // User=
  std::string folder;                 // WorkingDirectory=
  std::vector<std::string> writable;  // ReadWritePaths= and StateDirectory=
  std::vector<Hidden> hidden;
};

// The views of the package's units as installed, without overrides: the
// schedule service and the report template. The unit files in
// packaging/systemd/ say the same (service_check_test.cpp compares them).
std::vector<ServiceView> PackagedServiceViews();

// Applies to `view` the settings of a unit file or drop-in that decide what
// its service sees: User=, WorkingDirectory=, ReadWritePaths=,
// StateDirectory=, InaccessiblePaths= (a list; an empty assignment clears
// it; "-" and "+" prefixes are dropped), ProtectHome= and PrivateTmp=.
// Other keys, and lines outside [Service], change nothing.
void ApplyUnitText(const std::string& text, ServiceView* view);

enum class ServiceAccess { kHidden, kReadOnly, kWritable };

// How the service of `view` sees the absolute `path` (ProtectSystem=strict:
// read-only unless under a writable path). When hidden, `why` (if not null)
// gets the setting and the folder it hides: "ProtectHome=yes hides /root".
ServiceAccess AccessIn(const ServiceView& view, const std::string& path, std::string* why);

// The machine as the check as the service needs it.
class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
  // Makes the process run as `user` for good, as the units do: its user and
  // group, no other groups, umask 022. Empty when done (or when the process
  // is that user already); otherwise why not.
  virtual std::string BecomeUser(const std::string& user) = 0;
  // The texts of the drop-ins of `unit` (`systemctl edit` writes
  // /etc/systemd/system/UNIT.d/override.conf) in the order systemd applies
  // them.
  virtual std::vector<std::string> DropIns(const std::string& unit) = 0;
};

// The ServiceHost of this machine.
std::unique_ptr<ServiceHost> NewLinuxServiceHost();

// `--check --as-service`: CheckReports run as the services would run it.
// The units' views (with their drop-ins) are given first, one line each;
// then the process becomes the service user (an error, status 1, when it
// cannot), so that every file is checked with that user's rights; and each
// report gets an error for a source, header or trailer in a folder that a
// unit hides (/home, /root, /tmp under PrivateTmp=) and for an output folder
// that a unit hides or leaves read-only, naming the units. A folder other
// than the units' working folder is warned of and checked as if they ran
// there.
CheckResult CheckReportsAsService(Env& env, FileSystem& files, ProfileStore& store,
                                  ado::ProviderFactory& providers, const std::string& report,
                                  ServiceHost& host);

}  // namespace tavrin

#endif  // TAVRIN_APP_SERVICE_CHECK_H_
