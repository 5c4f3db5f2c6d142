#include "platform/fs/published_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/fs/fake_file_system.h"
#include "platform/fs/fs_test_support.h"

namespace tavrin {
namespace {

using test::ReadWholeFile;
using test::ScratchDir;
using test::WriteWholeFile;

using Op = FakeFileSystem::Op;

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

// The real file system, through the fake that the failure tests set up.
class PublishedFileTest : public testing::Test {
 protected:
  std::unique_ptr<PublishedFile> Create(const std::string& path, std::function<bool()> stop = nullptr,
                                        std::string* why = nullptr) {
    return PublishedFile::Create(files, path, std::move(stop), why);
  }

  FakeFileSystem files;
};

TEST_F(PublishedFileTest, AppearsWholeWithCrLfLineEndsOnlyWhenPublished) {
  ScratchDir dir;
  const std::string path = dir / "out.txt";
  WriteWholeFile(path, "old");
  {
    auto file = Create(path);
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

TEST_F(PublishedFileTest, DestructionPublishesWhatWasWritten) {
  ScratchDir dir;
  { Create(dir / "out.txt")->Write("partial\n"); }
  EXPECT_EQ(ReadWholeFile(dir / "out.txt"), "partial\r\n");
}

TEST_F(PublishedFileTest, CannotStartWithoutAWritableFolder) {
  ScratchDir dir;
  EXPECT_EQ(Create(dir / "missing/out.txt"), nullptr);
  EXPECT_EQ(Create(dir.path()), nullptr);  // a folder, not a file
  EXPECT_EQ(Create(""), nullptr);
  EXPECT_EQ(EntryCount(dir.path()), 0u);
}

TEST_F(PublishedFileTest, FailedPublicationKeepsThePreviousFile) {
  ScratchDir dir;
  const std::string path = dir / "out";
  auto file = Create(path);
  ASSERT_NE(file, nullptr);
  file->Write("new\n");
  // The path turns into a non-empty folder before the rename.
  std::filesystem::create_directories(path + "/inner");
  EXPECT_FALSE(file->Publish());
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(EntryCount(dir.path()), 1u);  // the temporary file is gone
}

TEST_F(PublishedFileTest, PermissionsOfAnExistingFileAreKept) {
  ScratchDir dir;
  const std::string kept = dir / "kept";
  WriteWholeFile(kept, "old");
  chmod(kept.c_str(), 0604);
  const mode_t old_mask = umask(027);
  Create(kept)->Write("new");
  Create(dir / "fresh")->Write("new");
  umask(old_mask);
  EXPECT_EQ(Mode(kept), 0604u);
  EXPECT_EQ(Mode(dir / "fresh"), 0640u);  // 0666 less the umask
  EXPECT_EQ(ReadWholeFile(kept), "new");
}

TEST_F(PublishedFileTest, SymbolicLinkKeepsPointingAtTheNewFile) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "real");
  WriteWholeFile(dir / "real/page.html", "old");
  std::filesystem::create_symlink("real/page.html", dir / "link.html");
  Create(dir / "link.html")->Write("new\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.html"));
  EXPECT_EQ(ReadWholeFile(dir / "real/page.html"), "new\r\n");
}

TEST_F(PublishedFileTest, DiscardKeepsThePreviousFileAndLeavesNothingBeside) {
  ScratchDir dir;
  WriteWholeFile(dir / "kept", "old");
  {
    auto kept = Create(dir / "kept");
    auto fresh = Create(dir / "fresh");
    kept->Write(std::string(100000, 'x'));  // some of it already on disk
    fresh->Write("new");
    EXPECT_TRUE(kept->existed());
    EXPECT_FALSE(fresh->existed());
    kept->Discard();
    fresh->Discard();
    EXPECT_FALSE(kept->Publish());
  }
  EXPECT_EQ(ReadWholeFile(dir / "kept"), "old");
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

// The read end of a FIFO, opened first so that a writer finds a reader.
struct FifoReader {
  explicit FifoReader(const std::string& path) {
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  }
  ~FifoReader() { close(fd); }
  std::string Drain() const {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
  }
  int fd;
};

TEST_F(PublishedFileTest, FifoIsWrittenDirectlyAndStaysAFifo) {
  ScratchDir dir;
  const std::string path = dir / "fifo";
  FifoReader reader(path);
  auto file = Create(path);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->direct());
  file->Write("a\nb\n");
  EXPECT_TRUE(file->Publish());
  EXPECT_EQ(reader.Drain(), "a\r\nb\r\n");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(EntryCount(dir.path()), 1u);

  // The reader has gone: nobody to write to.
  close(reader.fd);
  reader.fd = -1;
  EXPECT_EQ(Create(path), nullptr);
}

TEST_F(PublishedFileTest, FifoThatTakesNothingMoreGivesUpOnStop) {
  ScratchDir dir;
  FifoReader reader(dir / "fifo");  // never reads
  bool stop = false;
  auto file = Create(dir / "fifo", [&stop] { return stop; });
  ASSERT_NE(file, nullptr);
  stop = true;
  file->Write(std::string(1 << 20, 'x'));  // far more than the FIFO holds
  EXPECT_FALSE(file->Publish());
}

TEST_F(PublishedFileTest, SocketIsRefused) {
  ScratchDir dir;
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = dir / "sock";
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(Create(sock_path), nullptr);
  close(sock);
}

// A full disk, a folder that vanished, a permission refused.
constexpr int kFailures[] = {ENOSPC, ENOENT, EACCES};

std::string FailureName(int err) {
  switch (err) {
    case ENOSPC: return "DiskFull";
    case ENOENT: return "FolderGone";
    case EACCES: return "PermissionRefused";
    default: return "Errno" + std::to_string(err);
  }
}

// One step of putting a new version in place of an existing file fails.
class PublishStepFailureTest : public PublishedFileTest,
                               public testing::WithParamInterface<std::tuple<Op, int>> {};

TEST_P(PublishStepFailureTest, KeepsThePreviousFileLeavesNoTemporaryAndSaysSo) {
  const auto [op, err] = GetParam();
  ScratchDir dir;
  const std::string path = dir / "out.txt";
  WriteWholeFile(path, "previous");
  files.Fail(op, err);
  std::string why;
  auto file = Create(path, nullptr, &why);
  if (op == Op::kCreateExclusive || op == Op::kSetMode) {
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(why.rfind(std::strerror(err), 0), 0u) << why;
  } else {
    ASSERT_NE(file, nullptr);
    file->Write("new\n" + std::string(100000, 'x'));  // more than the buffer: written before Publish
    EXPECT_FALSE(file->Publish());
    EXPECT_FALSE(file->Publish());
    // Nothing is put in place after a step that failed.
    EXPECT_EQ(files.Calls(Op::kRename), op == Op::kRename ? 1 : 0);
  }
  EXPECT_EQ(ReadWholeFile(path), "previous");
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, PublishStepFailureTest,
    testing::Combine(testing::Values(Op::kCreateExclusive, Op::kSetMode, Op::kWrite, Op::kSync, Op::kRename),
                     testing::ValuesIn(kFailures)),
    [](const testing::TestParamInfo<std::tuple<Op, int>>& test) {
      return std::string(FakeFileSystem::Name(std::get<0>(test.param))) + "_" +
             FailureName(std::get<1>(test.param));
    });

// The rename is done when the folder is synced: readers see the new file
// already, so the publication stands.
class FolderSyncFailureTest : public PublishedFileTest, public testing::WithParamInterface<int> {};

TEST_P(FolderSyncFailureTest, LeavesTheNewFilePublished) {
  ScratchDir dir;
  const std::string path = dir / "out.txt";
  WriteWholeFile(path, "previous");
  files.Fail(Op::kSyncFolder, GetParam());
  auto file = Create(path);
  ASSERT_NE(file, nullptr);
  file->Write("new\n");
  EXPECT_TRUE(file->Publish());
  EXPECT_EQ(files.Calls(Op::kSyncFolder), 1);
  EXPECT_EQ(ReadWholeFile(path), "new\r\n");
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

INSTANTIATE_TEST_SUITE_P(EachFailure, FolderSyncFailureTest, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<int>& test) { return FailureName(test.param); });

TEST_F(PublishedFileTest, FailedCreationSaysWhatTheFolderLacks) {
  ScratchDir dir;
  std::string why;
  files.Fail(Op::kCreateExclusive, EACCES);
  EXPECT_EQ(Create(dir / "out.txt", nullptr, &why), nullptr);
  EXPECT_EQ(why, "Permission denied (folder " + dir.path() + " cannot be written)");

  // The folder vanished between the look at the path and the creation.
  FakeFileSystem gone;
  gone.Fail(Op::kStat, ENOENT, dir.path());
  gone.Fail(Op::kCreateExclusive, ENOENT, dir.path());
  EXPECT_EQ(PublishedFile::Create(gone, dir / "out.txt", nullptr, &why), nullptr);
  EXPECT_EQ(why, "No such file or directory (folder " + dir.path() + " does not exist)");
  EXPECT_EQ(EntryCount(dir.path()), 0u);
}

TEST_F(PublishedFileTest, DeviceThatTakesNoMoreFailsThePublication) {
  files.Fail(Op::kWriteUnlessStopped, ENOSPC);
  auto file = Create("/dev/null");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->direct());
  file->Write("text\n");
  EXPECT_FALSE(file->Publish());
}

}  // namespace
}  // namespace tavrin
