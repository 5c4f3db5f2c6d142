#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/fs/atomic_file.h"
#include "platform/fs/fd.h"
#include "platform/fs/paths.h"

namespace tavrin::fs {
namespace {

class FsTest : public testing::Test {
 protected:
  FsTest() {
    std::string pattern = "/tmp/tavrin-fs-XXXXXX";
    dir_ = mkdtemp(pattern.data());
  }
  ~FsTest() override { std::filesystem::remove_all(dir_); }
  std::string At(const std::string& name) const { return dir_ + "/" + name; }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t Entries() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_)) ++n;
    return n;
  }
  std::string dir_;
};

TEST(PathsTest, FolderAndName) {
  EXPECT_EQ(DirName("a/b/c.ini"), "a/b");
  EXPECT_EQ(DirName("/c.ini"), "/");
  EXPECT_EQ(DirName("c.ini"), ".");
  EXPECT_EQ(BaseName("a/b/c.ini"), "c.ini");
  EXPECT_EQ(BaseName("c.ini"), "c.ini");
}

TEST_F(FsTest, LinksAreFollowedToTheRealFileDanglingOnesToo) {
  std::ofstream(At("real")) << "x";
  ASSERT_EQ(symlink("real", At("one").c_str()), 0);
  ASSERT_EQ(symlink(At("one").c_str(), At("two").c_str()), 0);
  ASSERT_EQ(symlink("nothing", At("dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop", At("loop").c_str()), 0);
  std::string target;
  ASSERT_EQ(FollowLinks(At("two"), &target), 0);
  EXPECT_EQ(target, At("real"));
  ASSERT_EQ(FollowLinks(At("dangling"), &target), 0);
  EXPECT_EQ(target, At("nothing"));
  ASSERT_EQ(FollowLinks(At("new"), &target), 0);
  EXPECT_EQ(target, At("new"));
  EXPECT_EQ(FollowLinks(At("loop"), &target), ELOOP);
}

TEST_F(FsTest, CommitReplacesTheFileWholeKeepingItsMode) {
  std::ofstream(At("f")) << "old";
  ASSERT_EQ(chmod(At("f").c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(stat(At("f").c_str(), &before), 0);
  std::unique_ptr<AtomicFile> file;
  ASSERT_EQ(AtomicFile::Create(At("f"), At(".f.tmp"), &before, &file), 0);
  ASSERT_EQ(file->Write("new "), 0);
  ASSERT_EQ(file->Write("text"), 0);
  EXPECT_EQ(Read(At("f")), "old");  // nothing shows before the commit
  ASSERT_EQ(file->Commit(), 0);
  EXPECT_EQ(Read(At("f")), "new text");
  struct stat after;
  ASSERT_EQ(stat(At("f").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(FsTest, AbandonedOrFailedReplacementLeavesTheOldFileAndNoTemporary) {
  std::ofstream(At("f")) << "old";
  {
    std::unique_ptr<AtomicFile> file;
    ASSERT_EQ(AtomicFile::Create(At("f"), At(".f.tmp"), nullptr, &file), 0);
    ASSERT_EQ(file->Write("half"), 0);
  }
  EXPECT_EQ(Read(At("f")), "old");
  EXPECT_EQ(Entries(), 1u);

  // A target that a rename cannot replace: a non-empty folder.
  std::filesystem::create_directory(At("d"));
  std::ofstream(At("d/inside")) << "";
  std::unique_ptr<AtomicFile> file;
  ASSERT_EQ(AtomicFile::Create(At("d"), At(".d.tmp"), nullptr, &file), 0);
  EXPECT_NE(file->Commit(), 0);
  EXPECT_FALSE(std::filesystem::exists(At(".d.tmp")));
}

TEST_F(FsTest, TemporaryNameIsTakenExclusivelyAndNeverThroughALink) {
  std::ofstream(At(".f.tmp")) << "someone else's";
  std::unique_ptr<AtomicFile> file;
  EXPECT_EQ(AtomicFile::Create(At("f"), At(".f.tmp"), nullptr, &file), EEXIST);
  EXPECT_EQ(Read(At(".f.tmp")), "someone else's");
  ASSERT_EQ(symlink("elsewhere", At(".g.tmp").c_str()), 0);
  EXPECT_EQ(AtomicFile::Create(At("g"), At(".g.tmp"), nullptr, &file), EEXIST);
  EXPECT_FALSE(std::filesystem::exists(At("elsewhere")));
}

TEST(FdTest, ClosesOnEveryWayOutAndReportsCloseErrors) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    ASSERT_EQ(WriteAll(write_end.get(), "hello"), 0);
    UniqueFd moved(std::move(write_end));
    EXPECT_FALSE(write_end.valid());
    EXPECT_EQ(moved.Close(), 0);
    EXPECT_EQ(moved.Close(), 0);  // a second close is a no-op
  }
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // closed by the destructor
  EXPECT_EQ(WriteAll(-1, "x"), EBADF);
}

}  // namespace
}  // namespace tavrin::fs
