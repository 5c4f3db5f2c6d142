#include "platform/ado/access/row_stream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ado/access/failure.h"
#include "platform/fs/fd.h"

namespace tavrin::ado::access {
namespace {

// The bytes that `write` makes a StreamWriter send.
std::string Written(const std::function<void(StreamWriter&)>& write) {
  fs::UniqueFd fd(memfd_create("stream", MFD_CLOEXEC));
  {
    StreamWriter out(fd.get());
    write(out);
  }
  std::string bytes(static_cast<size_t>(lseek(fd.get(), 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(fd.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  return bytes;
}

// The bytes a StreamWriter sends for two tables, the second holding a text
// long enough to span several reads.
std::string TwoTables() {
  return Written([](StreamWriter& out) {
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
  });
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

// A stream cut short is no error of the bytes so far: it is simply not
// finished, and the table under way is named.
TEST(RowStream, AStreamCutShortIsUnfinished) {
  const std::string bytes = TwoTables();
  StreamReader reader(bytes.size());
  Feed(reader, std::string_view(bytes).substr(0, bytes.size() / 2), 1000);
  EXPECT_FALSE(reader.finished());
  EXPECT_EQ(reader.current_table(), "Notes");
  ASSERT_NE(reader.latest(), nullptr);
  EXPECT_EQ(reader.latest()->name, "Notes");
  EXPECT_EQ(reader.tables().size(), 1u);
}

// A table read in part: its rows come with their places, also when no
// column's values are sent at all.
TEST(RowStream, PlacesArriveWithTheirRows) {
  const std::string bytes = Written([](StreamWriter& out) {
    ColumnInfo id{"Id", Tag::kLong};
    ColumnInfo name{"Name", Tag::kText};
    name.loaded = false;
    out.BeginTable("Org", {id, name}, true);
    RowBuilder row;
    for (int i = 0; i < 2; ++i) {
      row.Clear();
      row.AddNumber(Tag::kLong, 10 + i);
      out.Row(row.cells(), uint64_t{0x10000} * static_cast<uint64_t>(i + 1) + 3);
    }
    out.EndTable(2);
    id.loaded = false;
    out.BeginTable("Keys", {id}, true);
    out.Row({}, 7);
    out.Row({}, 8);
    out.EndTable(2);
    out.Done();
  });
  StreamReader reader(bytes.size());
  Feed(reader, bytes, 3);
  ASSERT_TRUE(reader.finished());
  ASSERT_EQ(reader.tables().size(), 2u);
  const StoredTable& org = *reader.tables()[0];
  EXPECT_EQ(org.places, (std::vector<uint64_t>{0x10003, 0x20003}));
  EXPECT_EQ(org.Get(1, 0).number, 11);
  EXPECT_FALSE(org.columns[1].loaded);
  EXPECT_EQ(reader.tables()[1]->places, (std::vector<uint64_t>{7, 8}));
  EXPECT_EQ(reader.tables()[1]->rows(), 2u);
}

// Rows held while the reader reads on: Pump writes what a full pipe takes
// and returns, the next HoldRows waits for the rest (the pipe then blocking
// only for that wait), and every row arrives in order.
TEST(RowStream, HeldRowsWaitWithoutHoldingUpTheReader) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  fs::UniqueFd in(ends[0]), out_fd(ends[1]);
  ASSERT_EQ(fcntl(out_fd.get(), F_SETFL, O_NONBLOCK), 0);
  constexpr int kRows = 2000;
  StreamWriter out(out_fd.get());
  out.BeginTable("Org", {{"Id", Tag::kLong}, {"Name", Tag::kText}}, false);
  out.HoldRows(true);
  RowBuilder row;
  for (int i = 0; i < kRows; ++i) {
    row.Clear();
    row.AddNumber(Tag::kLong, i);
    row.AddText(std::string(300, static_cast<char>('a' + i % 26)));
    out.Row(row.cells(), 0);
  }
  out.Pump();  // nobody reads yet: a write that waited would never return
  int in_pipe = 0;
  ASSERT_EQ(ioctl(in.get(), FIONREAD, &in_pipe), 0);
  EXPECT_GT(in_pipe, 0);
  EXPECT_LT(in_pipe, kRows * 300);

  std::string bytes;
  std::thread drain([&] {
    char buf[65536];
    for (ssize_t n; (n = read(in.get(), buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
  });
  out.HoldRows(false);
  EXPECT_EQ(fcntl(out_fd.get(), F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  out.EndTable(kRows);
  out.Done();
  out_fd.Reset();
  drain.join();

  StreamReader reader(bytes.size());
  Feed(reader, bytes, bytes.size());
  ASSERT_TRUE(reader.finished());
  ASSERT_EQ(reader.tables().size(), 1u);
  const StoredTable& org = *reader.tables()[0];
  ASSERT_EQ(org.rows(), static_cast<uint64_t>(kRows));
  for (size_t i = 0; i < org.rows(); i += 199) {
    EXPECT_EQ(org.Get(i, 0).number, static_cast<double>(i));
    EXPECT_EQ(org.Get(i, 1).text, std::string(300, static_cast<char>('a' + i % 26)));
  }
}

// The child's failure arrives whole, its warnings and description cut to
// what the stream carries.
TEST(RowStream, AFailureEndsTheStreamWithItsDetails) {
  ProviderFailure sent = Damaged("Org", "a page is missing.", {"first", "second"});
  std::string bytes = Written([&](StreamWriter& out) {
    out.BeginTable("Org", {{"Id", Tag::kLong}}, false);
    out.Failure(sent);
  });
  StreamReader reader(bytes.size());
  Feed(reader, bytes, 5);
  ASSERT_TRUE(reader.finished());
  ASSERT_TRUE(reader.failure());
  EXPECT_EQ(reader.failure()->hr, sent.hr);
  EXPECT_EQ(reader.failure()->description, sent.description);
  EXPECT_EQ(reader.failure()->warnings, sent.warnings);
  EXPECT_TRUE(reader.failure()->retry);
  EXPECT_TRUE(reader.tables().empty());

  sent.warnings.assign(100, std::string(5000, 'w'));
  sent.description.assign(100000, 'd');
  bytes = Written([&](StreamWriter& out) { out.Failure(sent); });
  StreamReader long_one(bytes.size());
  Feed(long_one, bytes, bytes.size());
  ASSERT_TRUE(long_one.failure());
  EXPECT_EQ(long_one.failure()->warnings.size(), 64u);
  EXPECT_EQ(long_one.failure()->warnings[0].size(), 4096u);
  EXPECT_EQ(long_one.failure()->description.size(), 65536u);
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
  // How the reader refuses `bytes`, or "" when it takes them.
  auto refusal = [](const std::string& bytes, uint64_t max) -> std::string {
    StreamReader reader(max);
    try {
      Feed(reader, bytes, 100);
    } catch (const ProviderFailure& f) {
      EXPECT_EQ(f.hr, kEFail);
      return f.description;
    }
    return "";
  };
  EXPECT_EQ(refusal(good, good.size()), "");
  EXPECT_EQ(refusal(good, good.size() - 1), "more data than the file can hold");
  EXPECT_EQ(refusal(good + "x", good.size() + 1), "data follows the end");
  std::string bad_kind = good;
  bad_kind[0] = 9;
  EXPECT_EQ(refusal(bad_kind, good.size()), "a message of unknown kind");
  // The first row's first cell gets an unknown tag.
  const size_t rows = FindMessage(good, 2);
  std::string bad_tag = good;
  bad_tag[rows + 5] = 42;
  EXPECT_EQ(refusal(bad_tag, good.size()), "a row is not valid");
  // A long cell that no 32-bit integer holds.
  for (const double number : {4294967296.0, -1e300, 0.5, std::nan("")}) {
    std::string bad_long = good;
    std::memcpy(&bad_long[rows + 6], &number, sizeof number);
    EXPECT_EQ(refusal(bad_long, good.size()), "a row is not valid") << number;
  }
  // A table end that counts a row too many.
  std::string bad_count = good;
  bad_count[FindMessage(good, 3) + 5] = 4;
  EXPECT_EQ(refusal(bad_count, good.size()), "a table ends with a wrong row count");
  // Rows before any table.
  EXPECT_EQ(refusal(good.substr(rows), good.size()), "rows outside a table");
  // "done" while a table is open; a second table inside the first.
  const size_t end = FindMessage(good, 3);
  EXPECT_EQ(refusal(good.substr(0, end) + good.substr(FindMessage(good, 5)), good.size()),
            "the stream ends inside a table");
  EXPECT_EQ(refusal(good.substr(0, end) + good.substr(0, rows), good.size() * 2), "a table starts inside another");
  // A column of a kind the stream does not know: its kind byte follows the
  // table's name, its form, its count and the column's name.
  std::string bad_column = good;
  bad_column[5 + 4 + 3 + 1 + 4 + 4 + 2] = 0;
  EXPECT_EQ(refusal(bad_column, good.size()), "a column of unknown kind");
}

}  // namespace
}  // namespace tavrin::ado::access
