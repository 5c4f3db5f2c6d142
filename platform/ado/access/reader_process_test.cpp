#include "platform/ado/access/reader_process.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/row_stream.h"
#include "platform/fs/fd.h"
#include "tools/jet4_writer.h"

namespace tavrin::ado::access {
namespace {

class ReaderChild : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/tavrin-reader-XXXXXX";
    dir_ = mkdtemp(pattern.data());
    path_ = dir_ + "/Vesk.mdb";
    jet4::WriteSampleOrgFile(path_, 50, 3);
    options_.silence = std::chrono::milliseconds(300);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The failure of reading Org with the options, which must fail.
  ProviderFailure Failure(const CancelCheck& cancelled = {}) {
    try {
      ReadAccessFile(path_, {{"Org"}, true}, *Env::Default(), cancelled, options_);
    } catch (const ProviderFailure& f) {
      return f;
    }
    ADD_FAILURE() << "the reading did not fail";
    return {kEFail, ""};
  }

  std::string dir_;
  std::string path_;
  ReaderOptions options_;
};

TEST_F(ReaderChild, ReadsTablesAndColumnsOnly) {
  auto tables = ReadAccessFile(path_, {{"org"}, true}, *Env::Default(), {});
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0]->name, "Org");
  EXPECT_EQ(tables[0]->rows(), 50u);
  EXPECT_EQ(tables[0]->columns.size(), jet4::OrgColumns().size());
  tables = ReadAccessFile(path_, {{"Org"}, false}, *Env::Default(), {});
  EXPECT_EQ(tables[0]->rows(), 0u);
  EXPECT_EQ(tables[0]->columns.size(), jet4::OrgColumns().size());
  EXPECT_TRUE(ReadAccessFile(path_, {}, *Env::Default(), {}).empty());
}

// A reader that dies, hangs or talks nonsense is a damaged file, never the
// caller's crash; each is tried once more, as a file being saved might be.
TEST_F(ReaderChild, DeathHangAndGarbageAreADamagedFile) {
  options_.in_sandbox = [](int) { *static_cast<volatile int*>(nullptr) = 1; };
  ProviderFailure f = Failure();
  EXPECT_EQ(f.hr, kEFail);
  EXPECT_TRUE(f.retry);
  EXPECT_NE(f.description.find("cannot be read: its reader "), std::string::npos) << f.description;
  EXPECT_NE(f.description.find("signal"), std::string::npos) << f.description;

  options_.in_sandbox = [](int) {
    volatile bool forever = true;
    while (forever) {
    }
  };
  f = Failure();
  EXPECT_NE(f.description.find("its reader did not answer for 0 seconds"), std::string::npos) << f.description;

  options_.in_sandbox = [](int out) {
    const char junk[] = "\x01\xff\xff\xff\x7fjunk that is no table";
    [[maybe_unused]] ssize_t n = write(out, junk, sizeof junk);
    _exit(0);
  };
  f = Failure();
  EXPECT_NE(f.description.find("its reader sent data out of place"), std::string::npos) << f.description;

  // What the child prints is captured: a warning fails the reading, and
  // nothing reaches the caller's standard error.
  options_.in_sandbox = [](int) { std::fprintf(stderr, "page 7 from map doesn't match\n"); };
  ::testing::internal::CaptureStderr();
  f = Failure();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(f.warnings.size(), 1u);
  EXPECT_EQ(f.warnings[0], "page 7 from map doesn't match");
}

TEST_F(ReaderChild, SandboxKillsAReaderThatOpensAFileOrConnects) {
  options_.in_sandbox = [](int) {
    const int fd = open("/etc/hostname", O_RDONLY);
    _exit(fd >= 0 ? 0 : 1);  // not reached: the open kills the process
  };
  ProviderFailure f = Failure();
  EXPECT_NE(f.description.find("its reader tried an operation that it is not allowed"), std::string::npos)
      << f.description;

  // The socket is made before the sandbox is entered; connecting it is not
  // allowed after.
  static int sock = -1;
  options_.before_sandbox = [] { sock = socket(AF_UNIX, SOCK_STREAM, 0); };
  options_.in_sandbox = [](int) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/run/systemd/private");
    connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    _exit(0);
  };
  f = Failure();
  EXPECT_NE(f.description.find("its reader tried an operation that it is not allowed"), std::string::npos)
      << f.description;

  // It may read the database file at an offset, and nothing else: not a
  // file it had opened before.
  static int other = -1;
  options_.before_sandbox = [] { other = open("/etc/hostname", O_RDONLY); };
  options_.in_sandbox = [](int) {
    char byte;
    _exit(pread(other, &byte, 1, 0) == 1 ? 0 : 1);  // not reached either
  };
  f = Failure();
  EXPECT_NE(f.description.find("its reader tried an operation that it is not allowed"), std::string::npos)
      << f.description;

  // Of its pipe's flags it may set whether writes wait, and no other.
  options_.before_sandbox = nullptr;
  options_.in_sandbox = [](int out) { _exit(fcntl(out, F_SETFL, 0) == 0 && fcntl(out, F_SETFL, O_NONBLOCK) == 0 ? 0 : 1); };
  f = Failure();
  EXPECT_EQ(f.description.find("not allowed"), std::string::npos) << f.description;
  options_.in_sandbox = [](int out) { _exit(fcntl(out, F_SETFL, O_APPEND) == 0 ? 0 : 1); };
  f = Failure();
  EXPECT_NE(f.description.find("its reader tried an operation that it is not allowed"), std::string::npos)
      << f.description;
}

// A reader started from another thread than the main one allocates from
// that thread's own heap, which the C library gives back to the system in a
// way that first opens a file of the kernel's: the confined reader must
// never get there.
TEST_F(ReaderChild, AReaderStartedFromAThreadMayFreeMemory) {
  options_.in_sandbox = [](int) {
    std::vector<std::unique_ptr<char[]>> blocks;
    for (int i = 0; i < 8192; ++i) blocks.push_back(std::make_unique<char[]>(1000));
    blocks.clear();
  };
  size_t rows = 0;
  std::string failure;
  std::thread([&] {
    try {
      rows = ReadAccessFile(path_, {{"Org"}, true}, *Env::Default(), {}, options_)[0]->rows();
    } catch (const ProviderFailure& f) {
      failure = f.description;
    }
  }).join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(rows, 50u);
}

TEST_F(ReaderChild, CancelEndsTheReadingSoon) {
  options_.silence = std::chrono::hours(1);
  options_.in_sandbox = [](int) {
    volatile bool forever = true;
    while (forever) {
    }
  };
  std::atomic<int> asked{0};
  const ProviderFailure f = Failure([&] { return ++asked > 3; });
  EXPECT_EQ(f.hr, kEAbort);
  EXPECT_EQ(asked, 4);  // and no retry after a stop
}

// The bytes of row `row` of `table`, every column.
std::string RowBytes(const StoredTable& table, size_t row) {
  const char* start = table.RowStart(row);
  const char* end = start;
  for (size_t c = 0; c < table.columns.size(); ++c) end = StoredTable::Skip(end);
  return std::string(start, end);
}

// A reading in part holds only the keys, with each row's place; the rows
// read again at those places, in any order, are those of a whole reading.
TEST_F(ReaderChild, RowsReadAgainAtTheirPlacesAreTheWholeRows) {
  const auto whole = ReadAccessFile(path_, {{"Org"}, true}, *Env::Default(), {})[0];
  FileReading part = ReadAccessFileKept(path_, {{"Org"}, true, std::vector<std::string>{"status", "County"}},
                                        *Env::Default(), {});
  const auto& keys = *part.tables[0];
  ASSERT_EQ(keys.rows(), 50u);
  ASSERT_EQ(keys.places.size(), 50u);
  ASSERT_EQ(keys.LoadedColumns(), 2u);
  size_t status = 0;
  for (size_t c = 0; c < keys.columns.size(); ++c) {
    EXPECT_EQ(keys.columns[c].loaded, keys.columns[c].name == "Status" || keys.columns[c].name == "County");
    if (keys.columns[c].name == "Status") status = c;
  }
  for (size_t r = 0; r < 50; ++r) EXPECT_EQ(keys.Get(r, status).text, whole->Get(r, status).text);

  // Backwards, with one row twice.
  std::vector<uint64_t> places(keys.places.rbegin(), keys.places.rend());
  places.push_back(keys.places[7]);
  RowFetch fetch(part.file, "org", *Env::Default(), {}, options_);
  fetch.Ask(places);
  for (size_t i = 0; i < places.size(); ++i) {
    const char* cells = fetch.Next();
    const size_t row = i < 50 ? 49 - i : 7;
    const char* end = cells;
    for (size_t c = 0; c < whole->columns.size(); ++c) end = StoredTable::Skip(end);
    EXPECT_EQ(std::string(cells, end), RowBytes(*whole, row)) << "row " << row;
  }
  EXPECT_EQ(fetch.columns().size(), whole->columns.size());
  EXPECT_THROW(fetch.Next(), ProviderFailure);  // no row beyond those asked for

  // Some columns only: a cell for each of them, the others not loaded.
  std::vector<bool> asked(whole->columns.size(), false);
  asked[0] = asked[status] = true;
  RowFetch some(part.file, "Org", *Env::Default(), {}, options_);
  some.Ask({keys.places[3], keys.places[1]}, asked);
  for (const size_t row : {size_t{3}, size_t{1}}) {
    const char* cells = some.Next();
    for (size_t c = 0; c < asked.size(); ++c) {
      EXPECT_EQ(some.columns()[c].loaded, asked[c]);
      if (!asked[c]) continue;
      const StoredTable::Cell got = StoredTable::ReadCell(cells);
      EXPECT_EQ(CellValue(got).AsText(), whole->Value(row, c).AsText()) << row << "," << c;
    }
  }
  EXPECT_THROW(some.Next(), ProviderFailure);

  // No key at all: the rows' places only.
  part = ReadAccessFileKept(path_, {{"Org"}, true, std::vector<std::string>{}}, *Env::Default(), {});
  EXPECT_EQ(part.tables[0]->rows(), 50u);
  EXPECT_EQ(part.tables[0]->LoadedColumns(), 0u);
}

// A reading in part starts the reader of its rows ahead, before it holds
// them; that reader reads what it is asked later as any other, and ends
// with its owner whether it was asked or not.
TEST_F(ReaderChild, AReaderStartedAheadReadsWhatItIsAskedLater) {
  const ReadRequest in_part{{"Org"}, true, std::vector<std::string>{"Status"}};
  FileReading part = ReadAccessFileKept(path_, in_part, *Env::Default(), {}, options_);
  ASSERT_NE(part.fetch, nullptr);
  const std::vector<uint64_t>& places = part.tables[0]->places;
  const std::vector<uint64_t> some = {places[9], places[2], places[9], places[40]};
  part.fetch->Ask(some);
  RowFetch direct(part.file, "Org", *Env::Default(), {}, options_);
  direct.Ask(some);
  auto row = [](RowFetch& fetch) {
    const char* start = fetch.Next();
    const char* end = start;
    for (size_t c = 0; c < fetch.columns().size(); ++c) end = StoredTable::Skip(end);
    return std::string(start, end);
  };
  for (size_t i = 0; i < some.size(); ++i) EXPECT_EQ(row(*part.fetch), row(direct)) << i;
  EXPECT_THROW(part.fetch->Next(), ProviderFailure);

  // A reader started ahead holds every descriptor the test had open when it
  // was forked until it ends: the far end of a pipe tells whether it has.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
  const fs::UniqueFd watch(ends[0]);
  fs::UniqueFd held(ends[1]);
  FileReading unused = ReadAccessFileKept(path_, in_part, *Env::Default(), {}, options_);
  held.Reset();
  char byte;
  EXPECT_EQ(read(watch.get(), &byte, 1), -1);  // still waiting to be asked
  unused.fetch.reset();
  EXPECT_EQ(read(watch.get(), &byte, 1), 0);  // gone with its owner
  EXPECT_EQ(ReadAccessFileKept(path_, {{"Org"}, true}, *Env::Default(), {}, options_).fetch, nullptr);

  options_.in_fetch_sandbox = [](int) { _exit(9); };
  FileReading dying = ReadAccessFileKept(path_, in_part, *Env::Default(), {}, options_);
  dying.fetch->Ask(some);
  try {
    dying.fetch->Next();
    ADD_FAILURE() << "the reader did not fail";
  } catch (const ProviderFailure& f) {
    EXPECT_NE(f.description.find("exit status 9"), std::string::npos) << f.description;
  }
}

// Rows are read again from the file the reading in part opened, even when
// its name now leads to another; a place that holds no row is damage, and a
// reader that dies while it streams them is a damaged file.
TEST_F(ReaderChild, ReadingAgainKeepsToItsFileAndFailsClearly) {
  FileReading part = ReadAccessFileKept(path_, {{"Org"}, true, std::vector<std::string>{"Status"}},
                                        *Env::Default(), {});
  const std::vector<uint64_t> places = part.tables[0]->places;
  std::filesystem::remove(path_);
  RowFetch again(part.file, "Org", *Env::Default(), {}, options_);
  again.Ask({places[3]});
  EXPECT_NE(again.Next(), nullptr);

  auto failure = [&](std::vector<uint64_t> at) {
    try {
      RowFetch fetch(part.file, "Org", *Env::Default(), {}, options_);
      fetch.Ask(at);
      for (;;) fetch.Next();
    } catch (const ProviderFailure& f) {
      return f;
    }
  };
  ProviderFailure f = failure({places[0], (places[0] & ~uint64_t{0xFFFF}) | 200});
  EXPECT_NE(f.description.find("is no longer there"), std::string::npos) << f.description;
  f = failure({uint64_t{1} << 40});
  EXPECT_NE(f.description.find("lies outside the file"), std::string::npos) << f.description;

  options_.in_fetch_sandbox = [](int) { *static_cast<volatile int*>(nullptr) = 1; };
  f = failure(places);
  EXPECT_NE(f.description.find("cannot be read: its reader "), std::string::npos) << f.description;
  EXPECT_NE(f.description.find("signal"), std::string::npos) << f.description;
}

}  // namespace
}  // namespace tavrin::ado::access
