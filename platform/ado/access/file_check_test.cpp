#include "platform/ado/access/file_check.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/ado/access/access_header.h"
#include "platform/ado/access/failure.h"

namespace tavrin::ado::access {
namespace {

// The first pages of a file of `version` as Access lays them out: the header
// with its masked part, and a table definition on page 2. `key` is the
// database key, `password` the first password byte (both 0 in a plain file).
std::string Header(uint8_t version, uint8_t version_second_byte = 0, uint32_t key = 0, uint8_t password = 0) {
  const auto v = VersionFromByte(version).value_or(AccessVersion::kJet4);
  std::string file(3 * static_cast<size_t>(PageSize(v)), '\0');
  auto* p = reinterpret_cast<unsigned char*>(file.data());
  p[1] = 0x01;
  std::memcpy(p + 4, Signature(v), 16);
  p[kVersionOffset] = version;
  p[kVersionOffset + 1] = version_second_byte;
  for (size_t i = 0; i < 4; ++i) p[kDatabaseKeyOffset + i] = static_cast<unsigned char>(key >> (8 * i));
  p[kPasswordOffset] = password;
  ApplyHeaderMask(p + kMaskedOffset, MaskedLength(v));
  p[2 * PageSize(v)] = 0x02;
  return file;
}

struct Checked {
  FileFacts facts;
  std::string failure;  // the description, empty when the check passed
};

Checked Check(const std::string& bytes) {
  const int fd = memfd_create("check", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  Checked c;
  try {
    c.facts = CheckFile(fd, "x.accdb");
  } catch (const ProviderFailure& f) {
    c.failure = f.description;
  }
  close(fd);
  return c;
}

TEST(FileCheckTest, EveryVersionLibmdbReadsIsKnownByItsFirstVersionByte) {
  const struct {
    uint8_t first, second;
    AccessVersion version;
    int page_size;
  } cases[] = {
      {0, 0, AccessVersion::kJet3, 2048},  {1, 0, AccessVersion::kJet4, 4096},
      {2, 0, AccessVersion::kAce12, 4096}, {3, 1, AccessVersion::kAce14, 4096},  // most Access 2010 files
      {3, 0, AccessVersion::kAce14, 4096}, {4, 0, AccessVersion::kAce15, 4096},
      {5, 0, AccessVersion::kAce16, 4096}, {6, 0, AccessVersion::kAce17, 4096},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(VersionName(c.version));
    const Checked checked = Check(Header(c.first, c.second));
    ASSERT_EQ(checked.failure, "");
    EXPECT_EQ(checked.facts.version, c.version);
    EXPECT_EQ(checked.facts.page_size, c.page_size);
    EXPECT_EQ(checked.facts.pages, 3);
  }
}

TEST(FileCheckTest, UnknownVersionsAndWrongPageCountsAreRefusedPlainly) {
  const std::string prefix = "Unrecognized database format 'x.accdb'. ";
  EXPECT_EQ(Check(Header(7)).failure,
            prefix + "The file is an Access database of a version this program does not know (7).");
  // Two pages of 2048 bytes are one of 4096: a Jet 3 size read as Jet 4 is
  // still whole, but a Jet 4 file cut to Jet 3's page size is not.
  std::string cut = Header(1);
  cut.resize(3 * 2048);
  EXPECT_EQ(Check(cut).failure, prefix + "The file is an Access database cut short: 6144 bytes, not a whole "
                                         "number of 4096-byte pages.");
}

TEST(FileCheckTest, EncipheredPagesAreRefusedWithWhatToDoAndAPasswordAloneIsRead) {
  for (uint8_t version = 2; version <= 6; ++version) {
    const std::string failure = Check(Header(version, 0, 0x1234567)).failure;
    EXPECT_EQ(failure,
              "The file 'x.accdb' is encrypted with a database password, which this program cannot read: remove "
              "the password in Access (File, Info, Decrypt Database) or point DataPath at an unencrypted copy.")
        << int{version};
  }
  for (uint8_t version = 0; version <= 1; ++version)
    EXPECT_EQ(Check(Header(version, 0, 0x1234567)).failure,
              "The file 'x.accdb' is an encoded Access database, which this program cannot read: decode it in "
              "Access (Tools, Security, Encode/Decode Database) or point DataPath at a decoded copy.")
        << int{version};
  for (uint8_t version = 0; version <= 6; ++version)
    EXPECT_EQ(Check(Header(version, 0, 0, 'p')).failure, "") << int{version};
}

}  // namespace
}  // namespace tavrin::ado::access
