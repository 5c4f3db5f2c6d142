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

// --- The stream -------------------------------------------------------------

// The bytes a StreamWriter sends for two tables, the second holding a text
// long enough to span several reads.
std::string TwoTables() {
  fs::UniqueFd fd(memfd_create("stream", MFD_CLOEXEC));
  {
    StreamWriter out(fd.get());
    RowBuilder row;
    out.BeginTable("Org", {{"Id", Tag::kLong}, {"Name", Tag::kText}}, false);
    for (int i = 0; i < 3; ++i) {
      row.Clear();
      row.AddNumber(Tag::kLong, i);
      i == 1 ? row.AddNull() : row.AddText("row " + std::to_string(i));
      out.Row(row.cells(), 0);
    }
    out.EndTable(3);
    out.BeginTable("Notes", {{"Memo", Tag::kText}}, false);
    row.Clear();
    row.AddText(std::string(300000, 'm'));
    out.Row(row.cells(), 0);
    out.EndTable(1);
    out.Done();
  }
  std::string bytes(static_cast<size_t>(lseek(fd.get(), 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(fd.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  return bytes;
}

void Feed(StreamReader& reader, std::string_view bytes, size_t chunk) {
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    const size_t n = std::min(chunk, bytes.size() - at);
    std::memcpy(reader.Space(n), bytes.data() + at, n);
    reader.Commit(n);
  }
}

TEST(RowStream, TablesArriveWholeHoweverTheBytesAreCut) {
  const std::string bytes = TwoTables();
  for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}, bytes.size()}) {
    StreamReader reader(bytes.size());
    Feed(reader, bytes, chunk);
    ASSERT_TRUE(reader.finished()) << chunk;
    EXPECT_FALSE(reader.failure());
    ASSERT_EQ(reader.tables().size(), 2u);
    const StoredTable& org = *reader.tables()[0];
    EXPECT_EQ(org.name, "Org");
    ASSERT_EQ(org.rows(), 3u);
    EXPECT_EQ(org.Get(2, 1).text, "row 2");
    EXPECT_EQ(org.Get(1, 1).tag, Tag::kNull);
    EXPECT_EQ(org.Get(2, 0).number, 2);
    EXPECT_EQ(reader.tables()[1]->Get(0, 0).text.size(), 300000u);
  }
}

// Where the first message of `kind` starts.
size_t FindMessage(const std::string& stream, char kind) {
  size_t at = 0;
  while (at < stream.size() && stream[at] != kind) {
    uint32_t length;
    std::memcpy(&length, stream.data() + at + 1, sizeof length);
    at += 5 + length;
  }
  return at;
}

TEST(RowStream, AnyByteOutOfPlaceIsRefused) {
  const std::string good = TwoTables();
  auto refused = [](const std::string& bytes, uint64_t max) {
    StreamReader reader(max);
    try {
      Feed(reader, bytes, 100);
    } catch (const StreamError&) {
      return true;
    }
    return false;
  };
  EXPECT_FALSE(refused(good, good.size()));
  EXPECT_TRUE(refused(good, good.size() - 1));  // more than the file can hold
  EXPECT_TRUE(refused(good + "x", good.size() + 1));  // after the end
  std::string bad_kind = good;
  bad_kind[0] = 9;
  EXPECT_TRUE(refused(bad_kind, good.size()));
  // The first row's first cell gets an unknown tag.
  const size_t rows = FindMessage(good, 2);
  std::string bad_tag = good;
  bad_tag[rows + 5] = 42;
  EXPECT_TRUE(refused(bad_tag, good.size()));
  // A table end that counts a row too many.
  std::string bad_count = good;
  bad_count[FindMessage(good, 3) + 5] = 4;
  EXPECT_TRUE(refused(bad_count, good.size()));
  // Rows before any table.
  EXPECT_TRUE(refused(good.substr(rows), good.size()));
}

// --- The reader child -------------------------------------------------------

class ReaderChild : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/tavrin-reader-XXXXXX";
    dir_ = mkdtemp(pattern.data());
    path_ = dir_ + "/Vesk.mdb";
    jet4::Writer w(path_);
    w.BeginTable("Org", jet4::OrgColumns());
    for (const auto& row : jet4::SampleOrgRows(50, 3)) w.AddRow(row);
    w.EndTable();
    w.Finish();
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
    return {};
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
  RowFetch fetch(part.file, "org", places, *Env::Default(), {}, options_);
  for (size_t i = 0; i < places.size(); ++i) {
    const char* cells = fetch.Next();
    const size_t row = i < 50 ? 49 - i : 7;
    const char* end = cells;
    for (size_t c = 0; c < whole->columns.size(); ++c) end = StoredTable::Skip(end);
    EXPECT_EQ(std::string(cells, end), RowBytes(*whole, row)) << "row " << row;
  }
  EXPECT_EQ(fetch.columns().size(), whole->columns.size());
  EXPECT_THROW(fetch.Next(), ProviderFailure);  // no row beyond those asked for

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
  RowFetch direct(part.file, "Org", some, *Env::Default(), {}, options_);
  auto row = [](RowFetch& fetch) {
    const char* start = fetch.Next();
    const char* end = start;
    for (size_t c = 0; c < fetch.columns().size(); ++c) end = StoredTable::Skip(end);
    return std::string(start, end);
  };
  for (size_t i = 0; i < some.size(); ++i) EXPECT_EQ(row(*part.fetch), row(direct)) << i;
  EXPECT_THROW(part.fetch->Next(), ProviderFailure);

  FileReading unused = ReadAccessFileKept(path_, in_part, *Env::Default(), {}, options_);
  const auto before = std::chrono::steady_clock::now();
  unused.fetch.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
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
  RowFetch again(part.file, "Org", {places[3]}, *Env::Default(), {}, options_);
  EXPECT_NE(again.Next(), nullptr);

  auto failure = [&](std::vector<uint64_t> at) {
    try {
      RowFetch fetch(part.file, "Org", std::move(at), *Env::Default(), {}, options_);
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
