#include "output/file_output.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>

#include "output/output_test_support.h"
#include "platform/fs/fake_file_system.h"

namespace tavrin {
namespace {

using namespace test;
using Op = FakeFileSystem::Op;

std::string FailureName(int err) {
  switch (err) {
    case ENOSPC: return "DiskFull";
    case ENOENT: return "FolderGone";
    default: return "PermissionRefused";
  }
}

// One step of publishing the report's file fails (a full disk, a folder
// that vanished, a permission refused): the previous file stays, nothing
// is left beside it, and the report fails with the box of its step.
class PublishFailureTest : public ReportTest,
                           public testing::WithParamInterface<std::tuple<const char*, Op, int>> {};

TEST_P(PublishFailureTest, KeepsThePreviousFileAndCancelsTheReport) {
  const auto [kind, op, err] = GetParam();
  def().m_strOutput = kind;
  const std::string& path = def().m_strOutputFilename;
  WriteWholeFile(path, "previous");
  FakeFileSystem files;
  files.Fail(op, err);
  CReportGenerator(def(), reader, OutputServices(host, files)).GenerateReport();
  if (op == Op::kCreateExclusive) {
    EXPECT_EQ(BoxTexts(), Texts{"Could not open " + path + " for output - report canceled"});
    ASSERT_EQ(host.notices.size(), 1u);
    EXPECT_NE(host.notices[0].find("\": cannot be created: " + std::string(std::strerror(err))), std::string::npos)
        << host.notices[0];
  } else {
    EXPECT_EQ(BoxTexts(), Texts{"Could not write " + path + " - report canceled"});
    EXPECT_TRUE(host.notices.empty());
  }
  EXPECT_EQ(host.failures, 1);
  EXPECT_EQ(Output(), "previous");
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EachKindStepAndFailure, PublishFailureTest,
    testing::Combine(testing::Values("CSV", "XML"),
                     testing::Values(Op::kCreateExclusive, Op::kWrite, Op::kSync, Op::kRename),
                     testing::Values(ENOSPC, ENOENT, EACCES)),
    [](const testing::TestParamInfo<std::tuple<const char*, Op, int>>& test) {
      return std::string(std::get<0>(test.param)) + "_" + FakeFileSystem::Name(std::get<1>(test.param)) + "_" +
             FailureName(std::get<2>(test.param));
    });

}  // namespace
}  // namespace tavrin
