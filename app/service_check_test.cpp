#include "app/service_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/providers/providers.h"
#include "platform/env/fake_env.h"
#include "platform/profile/fake_profile.h"
#include "tools/jet4_writer.h"

namespace tavrin {
namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(TAVRIN_SOURCE_DIR) + "/" + relative);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::vector<std::string> HiddenPaths(const ServiceView& view) {
  std::vector<std::string> paths;
  for (const auto& h : view.hidden) paths.push_back(h.path + " " + h.why);
  return Sorted(paths);
}

// The check's idea of the units is what the units say.
TEST(ServiceCheckTest, PackagedViewsAreWhatTheUnitFilesSay) {
  for (const ServiceView& packaged : PackagedServiceViews()) {
    SCOPED_TRACE(packaged.unit);
    const std::string text = ReadSource("packaging/systemd/" + packaged.unit + ".in");
    ASSERT_FALSE(text.empty());
    ServiceView parsed;
    ApplyUnitText(text, &parsed);
    EXPECT_EQ(parsed.user, packaged.user);
    EXPECT_EQ(parsed.folder, packaged.folder);
    // StateDirectory= and ReadWritePaths= name the report folder each.
    std::vector<std::string> writable = parsed.writable;
    writable.erase(std::unique(writable.begin(), writable.end()), writable.end());
    EXPECT_EQ(Sorted(writable), Sorted(packaged.writable));
    EXPECT_EQ(HiddenPaths(parsed), HiddenPaths(packaged));
  }
  EXPECT_NE(ReadSource("packaging/sysusers/tavrin-report.conf").find(std::string("\nu ") + kServiceUser + " "),
            std::string::npos);
}

TEST(ServiceCheckTest, DropInsChangeWhatTheServiceSeesAndWrites) {
  ServiceView view = PackagedServiceViews().front();
  ApplyUnitText("[Unit]\nReadWritePaths=/ignored\n[Service]\n# ReadWritePaths=/commented\n"
                "ReadWritePaths=-/var/www/html/closings/ /srv/out\nProtectHome=read-only\n",
                &view);
  EXPECT_EQ(view.writable, (std::vector<std::string>{"/var/lib/tavrin-report", "/var/www/html/closings", "/srv/out"}));
  EXPECT_EQ(AccessIn(view, "/var/www/html/closings", nullptr), ServiceAccess::kWritable);
  EXPECT_EQ(AccessIn(view, "/var/www/html/closings/status.html", nullptr), ServiceAccess::kWritable);
  EXPECT_EQ(AccessIn(view, "/var/www/html", nullptr), ServiceAccess::kReadOnly);
  // A name that merely starts like a writable folder is not in it.
  EXPECT_EQ(AccessIn(view, "/srv/outside", nullptr), ServiceAccess::kReadOnly);
  EXPECT_EQ(AccessIn(view, "/home/ann/Vesk.mdb", nullptr), ServiceAccess::kReadOnly);
  std::string why;
  EXPECT_EQ(AccessIn(view, "/tmp/Vesk.mdb", &why), ServiceAccess::kHidden);
  EXPECT_EQ(why, "PrivateTmp=yes hides /tmp");

  ApplyUnitText("[Service]\nReadWritePaths=\nReadWritePaths=/srv/only\nProtectHome=tmpfs\nPrivateTmp=no\n"
                "InaccessiblePaths=-/srv/secret\n",
                &view);
  EXPECT_EQ(view.writable, std::vector<std::string>{"/srv/only"});
  EXPECT_EQ(AccessIn(view, "/var/lib/tavrin-report/x", nullptr), ServiceAccess::kReadOnly);
  EXPECT_EQ(AccessIn(view, "/tmp/Vesk.mdb", nullptr), ServiceAccess::kReadOnly);
  EXPECT_EQ(AccessIn(view, "/root", &why), ServiceAccess::kHidden);
  EXPECT_EQ(why, "ProtectHome=tmpfs hides /root");
  EXPECT_EQ(AccessIn(view, "/srv/secret/a", &why), ServiceAccess::kHidden);
}

// Drop-ins given by the test; becoming the user is recorded, or refused.
class FakeServiceHost : public ServiceHost {
 public:
  std::string refusal;
  std::vector<std::string> became;
  std::map<std::string, std::vector<std::string>> drop_ins;

  std::string BecomeUser(const std::string& user) override {
    became.push_back(user);
    return refusal;
  }
  std::vector<std::string> DropIns(const std::string& unit) override { return drop_ins[unit]; }
};

class ServiceCheckFolderTest : public ::testing::Test {
 protected:
  ServiceCheckFolderTest() {
    char pattern[] = "/tmp/tavrin-service-check-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::filesystem::create_directory(dir_ + "/out");
    ini_ = dir_ + "/TavrinReport.ini";
    std::ofstream(ini_) << "";  // the content is the store's
    jet4::WriteSampleOrgFile(dir_ + "/Vesk.mdb", 5, 1);
    // Both units run in the folder and write out/ only; the folder is under
    // /tmp, which the test's units do not hide.
    for (const ServiceView& view : PackagedServiceViews()) {
      host_.drop_ins[view.unit] = {"[Service]\nWorkingDirectory=" + dir_ + "\nReadWritePaths=\nReadWritePaths=" +
                                   dir_ + "/out\nPrivateTmp=no\n"};
    }
  }
  ~ServiceCheckFolderTest() override { std::filesystem::remove_all(dir_); }

  void Report(const std::string& name, const std::string& data_path, const std::string& output) {
    store_.Set("Report Schedule", "Report Name0" + std::to_string(++reports_), name, ini_);
    store_.Set("Report Schedule", "Minutes Between Reports0" + std::to_string(reports_), "0", ini_);
    store_.Set(name, "Output", "HTML", ini_);
    store_.Set(name, "DataPath", data_path, ini_);
    store_.Set(name, "OutputFilename", output, ini_);
  }

  CheckResult Check() {
    FakeEnv env(1000, dir_);
    ado::DefaultProviders providers(env);
    return CheckReportsAsService(env, *FileSystem::Default(), store_, providers, "", host_);
  }

  std::string dir_;
  std::string ini_;
  int reports_ = 0;
  FakeProfileStore store_;
  FakeServiceHost host_;
};

TEST_F(ServiceCheckFolderTest, AFolderTheServiceCanUseChecksClean) {
  Report("Web", dir_ + "/Vesk.mdb", dir_ + "/out/status.html");
  const CheckResult result = Check();
  EXPECT_EQ(result.status, 0) << result.text;
  EXPECT_EQ(host_.became, std::vector<std::string>{kServiceUser});
  EXPECT_EQ(result.text.rfind("service: tavrin-report-schedule.service runs as tavrin-report in " + dir_ +
                                  "; writes " + dir_ + "/out; cannot see /home /root /run/user\n",
                              0),
            0u)
      << result.text;
  EXPECT_EQ(result.text.find("warning"), std::string::npos) << result.text;
}

TEST_F(ServiceCheckFolderTest, HiddenSourcesAndReadOnlyOutputFoldersAreProblems) {
  Report("Hidden", "/root/Vesk.mdb", dir_ + "/out/a.html");
  Report("ReadOnly", dir_ + "/Vesk.mdb", dir_ + "/status.html");
  // One unit may write where the other may not.
  host_.drop_ins["tavrin-report@.service"].push_back("[Service]\nReadWritePaths=" + dir_ + "\n");
  const CheckResult result = Check();
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.text.find("  error: [Hidden] DataPath = \"/root/Vesk.mdb\": \"/root/Vesk.mdb\" is invisible to "
                             "tavrin-report-schedule.service and tavrin-report@.service (ProtectHome=yes hides "
                             "/root)\n"),
            std::string::npos)
      << result.text;
  EXPECT_NE(result.text.find("  error: [ReadOnly] OutputFilename = \"" + dir_ + "/status.html\": the folder \"" +
                             dir_ + "\" is read-only to tavrin-report-schedule.service (ProtectSystem=strict): add "
                             "it to ReadWritePaths= with systemctl edit\n"),
            std::string::npos)
      << result.text;
  EXPECT_NE(result.text.find("2 reports checked, "), std::string::npos) << result.text;
}

TEST_F(ServiceCheckFolderTest, NoReportIsCheckedWhenTheServiceUserIsOutOfReach) {
  Report("Web", dir_ + "/Vesk.mdb", dir_ + "/out/status.html");
  host_.refusal = "only root can check as user tavrin-report: run it with sudo";
  host_.drop_ins.clear();
  const CheckResult result = Check();
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.text.find("\nerror: cannot check as the service: only root can check as user tavrin-report: run "
                             "it with sudo\n"),
            std::string::npos)
      << result.text;
  EXPECT_EQ(result.text.find("[Web]"), std::string::npos) << result.text;
}

}  // namespace
}  // namespace tavrin
