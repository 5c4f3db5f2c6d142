#include "output/published_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "output/output_test_support.h"

namespace tavrin {
namespace {

using test::Exists;
using test::ReadWholeFile;
using test::ScratchDir;
using test::WriteWholeFile;

size_t EntryCount(const std::string& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

mode_t Mode(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(PublishedFileTest, AppearsWholeWithCrLfLineEndsOnlyWhenPublished) {
  ScratchDir dir;
  const std::string path = dir / "out.txt";
  WriteWholeFile(path, "old");
  {
    auto file = PublishedFile::Create(path);
    ASSERT_NE(file, nullptr);
    file->Write("a\nb\r\nc");
    file->Write(std::string(200000, 'x') + "\n");  // more than one buffer
    EXPECT_EQ(ReadWholeFile(path), "old");
    EXPECT_EQ(EntryCount(dir.path()), 2u);  // the old file and the temporary one
    EXPECT_TRUE(file->Publish());
    EXPECT_TRUE(file->Publish());
  }
  EXPECT_EQ(ReadWholeFile(path), "a\r\nb\r\r\nc" + std::string(200000, 'x') + "\r\n");
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(PublishedFileTest, DestructionPublishesWhatWasWritten) {
  ScratchDir dir;
  { PublishedFile::Create(dir / "out.txt")->Write("partial\n"); }
  EXPECT_EQ(ReadWholeFile(dir / "out.txt"), "partial\r\n");
}

TEST(PublishedFileTest, CannotStartWithoutAWritableFolder) {
  ScratchDir dir;
  EXPECT_EQ(PublishedFile::Create(dir / "missing/out.txt"), nullptr);
  EXPECT_EQ(PublishedFile::Create(dir.path()), nullptr);  // a folder, not a file
  EXPECT_EQ(PublishedFile::Create(""), nullptr);
  EXPECT_EQ(EntryCount(dir.path()), 0u);
}

TEST(PublishedFileTest, FailedPublicationKeepsThePreviousFile) {
  ScratchDir dir;
  const std::string path = dir / "out";
  auto file = PublishedFile::Create(path);
  ASSERT_NE(file, nullptr);
  file->Write("new\n");
  // The path turns into a non-empty folder before the rename.
  std::filesystem::create_directories(path + "/inner");
  EXPECT_FALSE(file->Publish());
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(EntryCount(dir.path()), 1u);  // the temporary file is gone
}

TEST(PublishedFileTest, PermissionsOfAnExistingFileAreKept) {
  ScratchDir dir;
  const std::string kept = dir / "kept";
  WriteWholeFile(kept, "old");
  chmod(kept.c_str(), 0604);
  const mode_t old_mask = umask(027);
  PublishedFile::Create(kept)->Write("new");
  PublishedFile::Create(dir / "fresh")->Write("new");
  umask(old_mask);
  EXPECT_EQ(Mode(kept), 0604u);
  EXPECT_EQ(Mode(dir / "fresh"), 0640u);  // 0666 less the umask
  EXPECT_EQ(ReadWholeFile(kept), "new");
}

TEST(PublishedFileTest, SymbolicLinkKeepsPointingAtTheNewFile) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "real");
  WriteWholeFile(dir / "real/page.html", "old");
  std::filesystem::create_symlink("real/page.html", dir / "link.html");
  PublishedFile::Create(dir / "link.html")->Write("new\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.html"));
  EXPECT_EQ(ReadWholeFile(dir / "real/page.html"), "new\r\n");
}

}  // namespace
}  // namespace tavrin
