// End-to-end: a report reads one version of its source. The report writes
// into a FIFO that the test reads, so the test decides the moment: it stops
// reading after the first lines, which holds the program in the middle of
// its walk, writes the new version over the file in place, and reads on.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

constexpr int kRows = 30000;

// The rows of one version: the same organizations, with a status of the
// same length, so that only those bytes of the file differ.
std::string Rows(const std::string& status) {
  std::string rows;
  for (int n = 1; n <= kRows; ++n)
    rows += "{\"Record Number\": " + std::to_string(n) + ", \"Organization Name\": \"Org " + std::to_string(n) +
            "\", \"Status\": \"" + status + "\"}\n";
  return rows;
}

// Reads what is there of `fd` (non-blocking) into `out`, waiting up to 100 ms.
void ReadSome(int fd, std::string* out) {
  pollfd p{fd, POLLIN, 0};
  poll(&p, 1, 100);
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out->append(buf, static_cast<size_t>(n));
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

TEST(OneVersionTest, SourceWrittenInPlaceMidReportFailsItAndTheRetryReadsTheNewVersion) {
  TempDir dir;
  for (const auto& [name, status] : {std::pair{"old", "Closed"}, std::pair{"new", "Opened"}}) {
    WriteFile(dir / (std::string(name) + ".jsonl"), Rows(status));
    const std::string file = name;
    const RunResult w = RunProgram(MdbWriteBinary(), {file + ".mdb", "--jsonl", file + ".jsonl"}, dir.path());
    ASSERT_EQ(w.exit_code, 0) << w.err;
  }
  const std::string old_bytes = ReadFile(dir / "old.mdb");
  const std::string new_bytes = ReadFile(dir / "new.mdb");
  ASSERT_EQ(old_bytes.size(), new_bytes.size());
  WriteFile(dir / "Vesk.mdb", old_bytes);
  ASSERT_EQ(mkfifo((dir / "out.csv").c_str(), 0600), 0);
  const int fifo = open((dir / "out.csv").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifo, 0);

  std::atomic<bool> done{false};
  RunResult result;
  std::thread program([&] {
    result = RunReport(dir,
                       "[Report Schedule]\nReport Name01=List\nMinutes Between Reports01=0\n"
                       "[List]\nOutput=CSV\nOutputFilename=out.csv\nReportField1=[Organization Name]\n"
                       "ReportFieldSort1=Yes\nReportField2=Status\n",
                       {});
    done = true;
  });
  // The first lines, then no more reading: the program can write only what
  // the pipe holds (64 KiB, far less than the report) and waits.
  std::string out;
  while (out.size() < 4096 && !done) ReadSome(fifo, &out);
  ASSERT_FALSE(done) << result.err;
  {
    const int db = open((dir / "Vesk.mdb").c_str(), O_WRONLY);
    ASSERT_GE(db, 0);
    ASSERT_EQ(pwrite(db, new_bytes.data(), new_bytes.size(), 0), static_cast<ssize_t>(new_bytes.size()));
    close(db);
  }
  while (!done) ReadSome(fifo, &out);
  program.join();
  ReadSome(fifo, &out);
  close(fifo);

  // The run that read both versions failed and said so; the retry, once the
  // file was quiet, wrote the new version whole.
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_NE(result.err.find("List: the database changed while the report read it"), std::string::npos)
      << result.err;
  const std::string retry_line = "\"Org 1\",\"Opened\"\r\n";
  const size_t retry = out.rfind(retry_line);
  ASSERT_NE(retry, std::string::npos) << out.substr(0, 300);
  // The failed run wrote rows of both versions into the FIFO (what a FIFO
  // has taken cannot be taken back); it did not call them a report.
  EXPECT_GT(Count(out.substr(0, retry), "\"Opened\"\r\n"), 0u);
  EXPECT_GT(Count(out.substr(0, retry), "\"Closed\"\r\n"), 0u);
  const std::string last = out.substr(retry);
  EXPECT_EQ(Count(last, "\"Opened\"\r\n"), static_cast<size_t>(kRows));
  EXPECT_EQ(Count(last, "\"Closed\"\r\n"), 0u);
}

}  // namespace
}  // namespace tavrin::test
