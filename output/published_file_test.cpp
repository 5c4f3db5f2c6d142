#include "output/published_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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

TEST(PublishedFileTest, DiscardKeepsThePreviousFileAndLeavesNothingBeside) {
  ScratchDir dir;
  WriteWholeFile(dir / "kept", "old");
  {
    auto kept = PublishedFile::Create(dir / "kept");
    auto fresh = PublishedFile::Create(dir / "fresh");
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

TEST(PublishedFileTest, FifoIsWrittenDirectlyAndStaysAFifo) {
  ScratchDir dir;
  const std::string path = dir / "fifo";
  FifoReader reader(path);
  auto file = PublishedFile::Create(path);
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
  EXPECT_EQ(PublishedFile::Create(path), nullptr);
}

TEST(PublishedFileTest, FifoThatTakesNothingMoreGivesUpOnStop) {
  ScratchDir dir;
  FifoReader reader(dir / "fifo");  // never reads
  bool stop = false;
  auto file = PublishedFile::Create(dir / "fifo", [&stop] { return stop; });
  ASSERT_NE(file, nullptr);
  stop = true;
  file->Write(std::string(1 << 20, 'x'));  // far more than the FIFO holds
  EXPECT_FALSE(file->Publish());
}

TEST(PublishedFileTest, SocketIsRefused) {
  ScratchDir dir;
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = dir / "sock";
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(PublishedFile::Create(sock_path), nullptr);
  close(sock);
}

}  // namespace
}  // namespace tavrin
