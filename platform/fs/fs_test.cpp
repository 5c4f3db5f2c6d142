#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/fs/atomic_file.h"
#include "platform/fs/fd.h"
#include "platform/fs/paths.h"
#include "platform/fs/regular_file.h"
#include "platform/fs/temp_names.h"

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

  // A FIFO put in the target's place meanwhile is never replaced.
  ASSERT_EQ(AtomicFile::Create(At("p"), At(".p.tmp"), nullptr, &file), 0);
  ASSERT_EQ(mkfifo(At("p").c_str(), 0600), 0);
  EXPECT_EQ(file->Commit(), EINVAL);
  EXPECT_TRUE(std::filesystem::is_fifo(At("p")));
  EXPECT_FALSE(std::filesystem::exists(At(".p.tmp")));
}

TEST_F(FsTest, OnlyRegularFilesAreOpenedForReading) {
  std::ofstream(At("f")) << "text";
  ASSERT_EQ(symlink("f", At("link").c_str()), 0);
  ASSERT_EQ(mkfifo(At("fifo").c_str(), 0600), 0);  // no writer: an open would block
  UniqueFd fd;
  mode_t type = 1;
  EXPECT_EQ(OpenRegularFile(At("link"), &fd, &type), 0);
  EXPECT_TRUE(fd.valid());
  EXPECT_EQ(type, 0u);
  UniqueFd other;
  EXPECT_EQ(OpenRegularFile(At("fifo"), &other, &type), EINVAL);
  EXPECT_STREQ(FileTypeName(type), "a FIFO");
  EXPECT_EQ(OpenRegularFile(dir_, &other, &type), EINVAL);
  EXPECT_STREQ(FileTypeName(type), "a folder");
  EXPECT_EQ(OpenRegularFile("/dev/null", &other, &type), EINVAL);
  EXPECT_STREQ(FileTypeName(type), "a character device");
  EXPECT_EQ(OpenRegularFile(At("missing"), &other, &type), ENOENT);
  EXPECT_EQ(type, 0u);
  EXPECT_FALSE(other.valid());
}

// The id of a process that has ended.
pid_t EndedProcess() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

TEST_F(FsTest, TemporariesOfEndedWritersAreRemovedOthersKept) {
  const std::string mine = TempNameFor(At("out.csv"));
  EXPECT_EQ(mine.substr(0, At(".out.csv." + std::to_string(getpid()) + ".").size()),
            At(".out.csv." + std::to_string(getpid()) + "."));
  const std::string ended = At(".out.csv." + std::to_string(EndedProcess()) + ".0123456789abcdef.tmp");
  const std::string running = At(".out.csv." + std::to_string(getppid()) + ".0123456789abcdef.tmp");
  const std::string other_file = At(".other.csv." + std::to_string(EndedProcess()) + ".0123456789abcdef.tmp");
  const std::string no_pid = At(".out.csv.0123456789abcdef.tmp");
  for (const std::string& path : {mine, ended, running, other_file, no_pid}) std::ofstream(path) << "x";
  RemoveDeadWritersTemps(At("out.csv"));
  EXPECT_FALSE(std::filesystem::exists(ended));
  for (const std::string& path : {mine, running, other_file, no_pid})
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
}

TEST_F(FsTest, NamesUpToTheFileSystemLimitGetTemporariesThatFitAndAreRecognised) {
  // 250 bytes, the last characters two bytes each, so that the cut must
  // fall between characters.
  const std::string long_name = std::string(230, 'n') + "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9.csv" +
                                std::string(250 - 230 - 10 - 4, 'x');
  ASSERT_EQ(long_name.size(), 250u);
  const std::string twin = long_name.substr(0, 249) + "y";  // the same start
  for (const std::string& name : {long_name, std::string(255, 'm')}) {
    const std::string temp = TempNameFor(At(name));
    EXPECT_LE(BaseName(temp).size(), 255u) << temp;
    EXPECT_NE(temp, TempNameFor(At(name)));
    std::unique_ptr<AtomicFile> file;
    ASSERT_EQ(AtomicFile::Create(At(name), temp, nullptr, &file), 0) << temp;
    ASSERT_EQ(file->Write("whole"), 0);
    ASSERT_EQ(file->Commit(), 0);
    EXPECT_EQ(Read(At(name)), "whole");
  }
  const std::string own = BaseName(TempNameFor(At(long_name)));
  EXPECT_EQ(own.find('\xc3', own.size() - 40), std::string::npos) << "no character cut: " << own;
  // Another writer's leftover, as it would have named it.
  const std::string self = "." + std::to_string(getpid()) + ".";
  const auto as_ended = [&](const std::string& target) {
    std::string name = BaseName(TempNameFor(target));
    return At(name.replace(name.rfind(self), self.size(), "." + std::to_string(EndedProcess()) + "."));
  };
  const std::string ended = as_ended(At(long_name));
  const std::string twins = as_ended(At(twin));
  for (const std::string& path : {ended, twins}) std::ofstream(path) << "x";
  RemoveDeadWritersTemps(At(long_name));
  EXPECT_FALSE(std::filesystem::exists(ended));
  EXPECT_TRUE(std::filesystem::exists(twins));
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

// A packet socket hands out one write per read: the reads come up short.
TEST(FdTest, ReadFullTakesShortReadsUntilAllOrTheEnd) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  const UniqueFd in(fds[0]);
  UniqueFd out(fds[1]);
  for (const char* part : {"hel", "lo", "ab"}) ASSERT_EQ(WriteAll(out.get(), part), 0);
  out.Reset();
  char got[6] = {};
  EXPECT_EQ(ReadFull(in.get(), got, 5), 0);
  EXPECT_STREQ(got, "hello");
  char rest[4] = {};
  EXPECT_EQ(ReadFull(in.get(), rest, 3), ENODATA);  // only two bytes came
  EXPECT_STREQ(rest, "ab");
  EXPECT_EQ(ReadFull(in.get(), rest, 0), 0);
  EXPECT_EQ(ReadFull(-1, rest, 1), EBADF);
}

TEST(FdTest, ClosedStandardStreamsAreOpenedOnDevNull) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    if (OpenClosedStandardStreams() != 0) _exit(1);
    struct stat null_st, st;
    if (stat("/dev/null", &null_st) != 0) _exit(2);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
      if (fstat(fd, &st) != 0 || st.st_rdev != null_st.st_rdev) _exit(3);
    }
    if ((fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) != O_RDONLY ||
        (fcntl(STDERR_FILENO, F_GETFL) & O_ACCMODE) != O_WRONLY)
      _exit(4);
    int fds[2];
    _exit(pipe(fds) == 0 && fds[0] > STDERR_FILENO ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tavrin::fs
