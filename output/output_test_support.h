#ifndef TAVRIN_OUTPUT_OUTPUT_TEST_SUPPORT_H_
#define TAVRIN_OUTPUT_OUTPUT_TEST_SUPPORT_H_

// Helpers shared by the output tests: a scratch folder, whole-file reads and
// writes, a report definition that tests fill in directly, and a fixture
// that runs a report through the driver.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ini2.h"
#include "config/report_definition.h"
#include "output/fake_org_reader.h"
#include "output/report_generator.h"
#include "run/fake_run_host.h"
#include "platform/env/fake_env.h"
#include "platform/fs/fs_test_support.h"

namespace tavrin::test {

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A report definition with no INI behind it: tests set its members.
struct TestDefinition {
  FakeEnv env;
  CIni2 ini;
  CReportDefinition def{ini, env};
};

inline tagORG_INFO Org(const std::string& name, const std::string& status) {
  tagORG_INFO org;
  org.strOrganizationName = name;
  org.strStatus = status;
  return org;
}

inline FieldInfo Field(const std::string& name, bool string_value = true) {
  FieldInfo field;
  field.strFieldName = name;
  field.bStringValue = string_value;
  field.strXMLDelimiterOpen = "<" + name + ">";
  field.strXMLDelimiterClose = "</" + name + ">";
  return field;
}

// Asks the run to stop when the given read (2 or later) is made.
class StoppingReader : public FakeOrgReader {
 public:
  StoppingReader(FakeRunHost& host, int stop_at) : host_(host), stop_at_(stop_at) {}
  bool GetNextOrg(tagORG_INFO& org) override {
    const bool ok = FakeOrgReader::GetNextOrg(org);
    if (reads == stop_at_) host_.stop = true;
    return ok;
  }

 private:
  FakeRunHost& host_;
  int stop_at_;
};

// A report over three organizations (Adams, Baker, Clark) of one field,
// status, into report.out of a scratch folder, made through the driver.
class ReportTest : public testing::Test {
 protected:
  ReportTest() {
    def().m_strOutput = "CSV";
    def().m_strOutputFilename = dir / "report.out";
    def().m_strRecordDelimiterOpen = "<name>\n";
    def().m_strRecordDelimiterClose = "</name>\n";
    def().m_FieldInfoArray = {Field("status")};
    reader.records = {Org("Adams", "Closed"), Org("Baker", "Open"), Org("Clark", "Delayed")};
  }

  CReportDefinition& def() { return definition.def; }
  void Generate() { CReportGenerator(def(), reader, host).GenerateReport(); }
  std::string Output() { return ReadWholeFile(def().m_strOutputFilename); }
  std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (const auto& box : host.boxes) {
      EXPECT_EQ(box.style, BoxStyle::kAppWarning);
      texts.push_back(box.text);
    }
    return texts;
  }

  ScratchDir dir;
  TestDefinition definition;
  FakeOrgReader reader;
  FakeRunHost host;
};

using Texts = std::vector<std::string>;

}  // namespace tavrin::test

#endif  // TAVRIN_OUTPUT_OUTPUT_TEST_SUPPORT_H_
