#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/env/fake_env.h"
#include "platform/profile/profile.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/profile_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ini_ = dir_ + "/TavrinReport.ini";
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  std::string Get(const std::string& section, const std::string& key) {
    return store_->GetString(section, key, "<none>", ini_);
  }
  bool Set(const std::string& section, const std::string& key, const std::string& value) {
    return store_->WriteString(section, key, value, ini_);
  }

  FakeEnv env_;
  const std::unique_ptr<ProfileStore> owned_store_ = NewFileProfileStore(env_);
  ProfileStore* store_ = owned_store_.get();
  std::string dir_;
  std::string ini_;
};

const char kWindowsIni[] =
    "; TavrinReport settings\r\n"
    "orphan=before any section\r\n"
    "\r\n"
    "[Report Schedule]\r\n"
    "report name01 = Daily Report \r\n"
    "Minutes Between Reports01=  \"15\"\r\n"
    "Quoted='it''s'\r\n"
    "Unknown Key=keep me\r\n"
    "\r\n"
    "[Daily Report]\r\n"
    "  Output = \"C:\\Out\\daily.csv\"\r\n"
    "; comment in section\r\n"
    "Delimiter=\",\"\r\n"
    "Odd=\"half\r\n"
    "\r\n"
    "[Other]\r\n"
    "x=1\r\n";

TEST_F(ProfileFileTest, ReadsAWindowsMadeFile) {
  Write(ini_, kWindowsIni);
  EXPECT_EQ(Get("REPORT SCHEDULE", "Report Name01"), "Daily Report");
  EXPECT_EQ(Get("Report Schedule", "minutes between reports01"), "15");
  EXPECT_EQ(Get("Report Schedule", "Quoted"), "it''s");
  EXPECT_EQ(Get("Daily Report", "Output"), "C:\\Out\\daily.csv");
  EXPECT_EQ(Get("Daily Report", "Delimiter"), ",");
  EXPECT_EQ(Get("Daily Report", "Odd"), "\"half");
  EXPECT_EQ(Get("Daily Report", "x"), "<none>");  // belongs to [Other]
  EXPECT_EQ(Get("Report Schedule", "orphan"), "<none>");
  EXPECT_EQ(Get("Missing", "x"), "<none>");
  EXPECT_EQ(store_->GetString("Other", "x", "d", dir_ + "/absent.ini"), "d");
}

TEST_F(ProfileFileTest, ReadsSeeEveryChangeOfTheFileHoweverItIsMade) {
  Write(ini_, "[S]\nkey=one\n");
  EXPECT_EQ(Get("S", "key"), "one");  // just written: read again at every look
  EXPECT_EQ(Get("S", "key"), "one");
  const timespec old_times[2] = {{0, UTIME_OMIT}, {env_.NowSeconds() - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, ini_.c_str(), old_times, 0), 0);
  EXPECT_EQ(Get("S", "key"), "one");  // settled: kept
  {  // in place, the same size: only the time tells
    std::fstream f(ini_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(8);
    f << "two";
  }
  EXPECT_EQ(Get("S", "key"), "two");
  Write(dir_ + "/other", "[S]\nkey=six\n");  // replaced: another inode
  ASSERT_EQ(rename((dir_ + "/other").c_str(), ini_.c_str()), 0);
  EXPECT_EQ(Get("S", "key"), "six");
  ASSERT_TRUE(Set("S", "key", "seven"));
  EXPECT_EQ(Get("S", "key"), "seven");
  ASSERT_TRUE(Set("S", "key", "seven"));  // nothing to change: the file stays
  EXPECT_EQ(Read(ini_), "[S]\nkey=seven\n");
  fs::remove(ini_);
  EXPECT_EQ(Get("S", "key"), "<none>");
  fs::create_directory(ini_);
  EXPECT_EQ(Get("S", "key"), "<none>");
}

TEST_F(ProfileFileTest, WriteChangesOnlyItsLineAndKeepsCrLf) {
  Write(ini_, kWindowsIni);
  const std::string original = kWindowsIni;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = original;
    s.replace(s.find(from), from.size(), to);
    return s;
  };

  ASSERT_TRUE(Set("daily report", "OUTPUT", "/srv/out/daily.csv"));
  EXPECT_EQ(Read(ini_), replaced("  Output = \"C:\\Out\\daily.csv\"\r\n",
                                 "Output=/srv/out/daily.csv\r\n"));
  Write(ini_, original);

  ASSERT_TRUE(Set("Daily Report", "Order By", "Name"));
  EXPECT_EQ(Read(ini_), replaced("Odd=\"half\r\n", "Odd=\"half\r\nOrder By=Name\r\n"));
  Write(ini_, original);

  ASSERT_TRUE(Set("Weekly", "Title", "'Closed' Today'"));
  EXPECT_EQ(Read(ini_), original + "\r\n[Weekly]\r\nTitle='Closed' Today'\r\n");
  EXPECT_EQ(Get("Weekly", "Title"), "Closed' Today");  // one enclosing pair goes
}

TEST_F(ProfileFileTest, WriteOfTheValueAlreadyReadLeavesTheFileUntouched) {
  Write(ini_, kWindowsIni);
  const ino_t before = Inode(ini_);
  EXPECT_TRUE(Set("Report Schedule", "Minutes Between Reports01", "15"));
  EXPECT_TRUE(Set("Report Schedule", "Report Name01", "Daily Report"));
  EXPECT_EQ(Read(ini_), kWindowsIni);
  EXPECT_EQ(Inode(ini_), before);
  EXPECT_FALSE(fs::exists(ini_ + ".lock")) << "a no-op write took the lock";
}

TEST_F(ProfileFileTest, LfFilesStayLfAndNewFilesUseLf) {
  ASSERT_TRUE(Set("Report Schedule", "Report Name01", ""));
  ASSERT_TRUE(Set("Report Schedule", "Minutes Between Reports01", "1"));
  EXPECT_EQ(Read(ini_), "[Report Schedule]\nReport Name01=\nMinutes Between Reports01=1\n");
  EXPECT_EQ(Get("Report Schedule", "Report Name01"), "");

  Write(ini_, "[A]\nk=1");  // no line end at the end
  ASSERT_TRUE(Set("A", "j", "2"));
  ASSERT_TRUE(Set("B", "k", "3"));
  EXPECT_EQ(Read(ini_), "[A]\nk=1\nj=2\n\n[B]\nk=3\n");
}

TEST_F(ProfileFileTest, SymlinkStaysALinkAndPermissionsAndOwnerAreKept) {
  const std::string target = dir_ + "/real.ini";
  Write(target, "[S]\nk=1\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  const bool root = geteuid() == 0;  // only root can give a file away
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(symlink("real.ini", ini_.c_str()), 0);

  ASSERT_TRUE(Set("S", "k", "2"));
  EXPECT_TRUE(fs::is_symlink(ini_));
  EXPECT_EQ(Read(target), "[S]\nk=2\n");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }

  // A dangling link gets its target created.
  const std::string dangling = dir_ + "/dangling.ini";
  ASSERT_EQ(symlink("created.ini", dangling.c_str()), 0);
  ASSERT_TRUE(store_->WriteString("S", "k", "v", dangling));
  EXPECT_TRUE(fs::is_symlink(dangling));
  EXPECT_EQ(Read(dir_ + "/created.ini"), "[S]\nk=v\n");
}

TEST_F(ProfileFileTest, ReadOnlyFileIsNeverReplacedEvenByRoot) {
  const std::string target = dir_ + "/real.ini";
  Write(target, "[S]\nk=1\n");
  ASSERT_EQ(symlink("real.ini", ini_.c_str()), 0);
  // No write bit for anyone: read-only for root as well.
  for (const mode_t mode : {mode_t{0444}, mode_t{0400}}) {
    ASSERT_EQ(chmod(target.c_str(), mode), 0);
    const ino_t inode = Inode(target);
    errno = 0;
    EXPECT_FALSE(Set("S", "k", "2")) << std::oct << mode;
    EXPECT_EQ(errno, EPERM);
    EXPECT_FALSE(Set("S", "new", "x"));
    EXPECT_TRUE(Set("S", "k", "1")) << "a write that changes nothing succeeds";
    EXPECT_EQ(Read(target), "[S]\nk=1\n");
    EXPECT_EQ(Inode(target), inode);
    EXPECT_FALSE(fs::exists(target + ".lock"));
  }
  ASSERT_EQ(chmod(target.c_str(), 0644), 0);
  EXPECT_TRUE(Set("S", "k", "3"));
  EXPECT_EQ(Get("S", "k"), "3");
}

TEST_F(ProfileFileTest, DamagedOrStrangeFilesNeitherCrashNorHang) {
  // A folder in the file's place.
  fs::create_directory(ini_);
  EXPECT_EQ(Get("S", "k"), "<none>");
  errno = 0;
  EXPECT_FALSE(Set("S", "k", "v"));
  EXPECT_EQ(errno, EISDIR);
  fs::remove(ini_);

  // No folder to write into.
  EXPECT_FALSE(store_->WriteString("S", "k", "v", dir_ + "/no/such/folder.ini"));

  // A FIFO would block a plain open.
  ASSERT_EQ(mkfifo(ini_.c_str(), 0600), 0);
  EXPECT_EQ(Get("S", "k"), "<none>");
  EXPECT_FALSE(Set("S", "k", "v"));
  fs::remove(ini_);

  // Binary junk, NUL bytes included: readable and writable around it.
  std::string junk;
  for (int i = 0; i < 100000; ++i) junk.push_back(static_cast<char>((i * 7919) % 256));
  Write(ini_, junk);
  EXPECT_EQ(Get("S", "k"), "<none>");
  ASSERT_TRUE(Set("S", "k", "v"));
  EXPECT_EQ(Get("S", "k"), "v");
  EXPECT_EQ(Read(ini_).compare(0, junk.size(), junk), 0);

  // One 10 MB line.
  const std::string huge(10 << 20, 'x');
  Write(ini_, "[S]\nbig=" + huge + "\n");
  EXPECT_EQ(Get("S", "big"), huge);
  ASSERT_TRUE(Set("S", "k", "v"));
  EXPECT_EQ(Get("S", "k"), "v");
}

TEST_F(ProfileFileTest, SpecialCharactersInNames) {
  Write(ini_, "[Plain]\na=1\n");
  // Report names are section names: "]", "=", ";" and "[" must round-trip.
  const std::string sections[] = {"Report]1", "a=b;c", "[x", "Sales ; 2024 ]"};
  for (const std::string& section : sections) {
    ASSERT_TRUE(Set(section, "Key;1", section)) << section;
  }
  for (const std::string& section : sections) {
    EXPECT_EQ(Get(section, "Key;1"), section) << section;
  }
  EXPECT_EQ(Get("Plain", "a"), "1");

  // What would not read back is refused and leaves the file alone.
  const std::string before = Read(ini_);
  struct Bad {
    std::string section, key, value;
  } bad[] = {{"S", "a=b", "v"}, {"S", ";k", "v"}, {"S", "[k", "v"}, {"S", " ", "v"},
             {"S", "k", "two\nlines"}, {"S\r\n[T]", "k", "v"}, {"S", "k", std::string("a\0b", 3)}};
  for (const Bad& b : bad) {
    errno = 0;
    EXPECT_FALSE(Set(b.section, b.key, b.value)) << b.key;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(Read(ini_), before);
}

// As Notepad saves it in UTF-8: a byte-order mark before the first section.
const char kBomIni[] =
    "\xEF\xBB\xBF[Report Schedule]\r\n"
    "Report Name01=Closings\r\n"
    "\r\n"
    "[Closings]\r\n"
    "; fermetures d'\xC3\xA9" "coles\r\n"
    "HtmlHeader=<h2>Fermetures d'\xC3\xA9" "coles</h2>\r\n"
    "Output=HTML\r\n";

TEST_F(ProfileFileTest, ByteOrderMarkIsSkippedWhenReadAndKeptWhenWritten) {
  Write(ini_, kBomIni);
  const std::string original = kBomIni;
  EXPECT_EQ(store_->Encoding(ini_), IniEncoding::kUtf8WithBom);
  EXPECT_EQ(Get("Report Schedule", "Report Name01"), "Closings");
  EXPECT_EQ(Get("Closings", "HtmlHeader"), "<h2>Fermetures d'\xC3\xA9" "coles</h2>");

  const ino_t before = Inode(ini_);
  ASSERT_TRUE(Set("Report Schedule", "Report Name01", "Closings"));
  EXPECT_EQ(Inode(ini_), before);

  ASSERT_TRUE(Set("Report Schedule", "Minutes Between Reports01", "1"));
  ASSERT_TRUE(Set("Closings", "Output", "CSV"));
  std::string expected = original;
  expected.replace(expected.find("Output=HTML"), 11, "Output=CSV");
  const std::string name01 = "Report Name01=Closings\r\n";
  expected.insert(expected.find(name01) + name01.size(), "Minutes Between Reports01=1\r\n");
  EXPECT_EQ(Read(ini_), expected);
  // Only one schedule section: the first was found behind the mark.
  EXPECT_EQ(Read(ini_).find("[Report Schedule]", 4), std::string::npos);

  // A file that is nothing but the mark gets its first section after it.
  Write(ini_, "\xEF\xBB\xBF");
  ASSERT_TRUE(Set("S", "k", "\xE2\x82\xAC"));
  EXPECT_EQ(Read(ini_), "\xEF\xBB\xBF[S]\nk=\xE2\x82\xAC\n");
}

// As Notepad saves it in the Windows code page: e acute (0xE9) and the right
// single quotation mark (0x92) in values, a section name and a comment, and
// an unassigned byte (0x81) that must survive being read and written back.
const char kCp1252Ini[] =
    "; R\xE9glages de l'\xE9t\xE9\r\n"
    "[Report Schedule]\r\n"
    "Report Name01=\xC9" "coles\r\n"
    "\r\n"
    "[\xC9" "coles]\r\n"
    "HtmlHeader=<h2>Fermetures d\x92\xE9" "coles</h2>\r\n"
    "Note = 'caf\xE9 \x81'\r\n"
    "Output=HTML\r\n"
    "\r\n"
    "[Other]\r\n"
    "x=1\r\n";

class Cp1252FileTest : public ProfileFileTest {
 protected:
  void SetUp() override {
    ProfileFileTest::SetUp();
    Write(ini_, kCp1252Ini);
  }
  // The original file with `from` replaced by `to`.
  static std::string Replaced(const std::string& from, const std::string& to) {
    std::string s = kCp1252Ini;
    s.replace(s.find(from), from.size(), to);
    return s;
  }
};

TEST_F(Cp1252FileTest, NamesAndValuesReadAsUtf8) {
  EXPECT_EQ(store_->Encoding(ini_), IniEncoding::kWindows1252);
  EXPECT_EQ(Get("Report Schedule", "Report Name01"), "\xC3\x89" "coles");
  EXPECT_EQ(Get("\xC3\x89" "coles", "HtmlHeader"),
            "<h2>Fermetures d\xE2\x80\x99\xC3\xA9" "coles</h2>");
  EXPECT_EQ(Get("\xC3\x89" "coles", "Note"), "caf\xC3\xA9 \xC2\x81");
  EXPECT_EQ(Get("\xC3\x89" "coles", "Output"), "HTML");
  // Only ASCII letters match without case, as in a UTF-8 file.
  EXPECT_EQ(Get("\xC3\xA9" "coles", "Output"), "<none>");
  // A name the code page cannot hold is in no such file.
  EXPECT_EQ(Get("\xE4\xB8\xAD", "x"), "<none>");
}

TEST_F(Cp1252FileTest, ValuesReadAreWrittenBackWithoutAChange) {
  const ino_t before = Inode(ini_);
  for (const char* key : {"HtmlHeader", "Note", "Output"}) {
    ASSERT_TRUE(Set("\xC3\x89" "coles", key, Get("\xC3\x89" "coles", key))) << key;
  }
  EXPECT_EQ(Read(ini_), kCp1252Ini);
  EXPECT_EQ(Inode(ini_), before);
}

TEST_F(Cp1252FileTest, WritesKeepTheCodePageLineEndsAndEveryOtherByte) {
  ASSERT_TRUE(Set("\xC3\x89" "coles", "HtmlHeader", "<h2>\xC3\x89t\xC3\xA9 \xE2\x82\xAC</h2>"));
  EXPECT_EQ(Read(ini_), Replaced("<h2>Fermetures d\x92\xE9" "coles</h2>", "<h2>\xC9t\xE9 \x80</h2>"));
  Write(ini_, kCp1252Ini);

  ASSERT_TRUE(Set("\xC3\x89" "coles", "Ann\xC3\xA9" "e", "2024\xE2\x80\x93" "2025"));
  EXPECT_EQ(Read(ini_), Replaced("Output=HTML\r\n", "Output=HTML\r\nAnn\xE9" "e=2024\x96" "2025\r\n"));
  EXPECT_EQ(Get("\xC3\x89" "coles", "Ann\xC3\xA9" "e"), "2024\xE2\x80\x93" "2025");
  Write(ini_, kCp1252Ini);

  ASSERT_TRUE(Set("\xC3\x89t\xC3\xA9", "k", "\xC5\x93"));  // "Été", "œ"
  EXPECT_EQ(Read(ini_), std::string(kCp1252Ini) + "\r\n[\xC9t\xE9]\r\nk=\x9C\r\n");
  EXPECT_EQ(store_->Encoding(ini_), IniEncoding::kWindows1252);
}

TEST_F(Cp1252FileTest, WhatTheCodePageCannotHoldIsRefusedAndTheFileLeftAlone) {
  const ino_t before = Inode(ini_);
  struct Refused {
    std::string section, key, value;
  } refused[] = {
      {"\xC3\x89" "coles", "HtmlHeader", "\xE4\xB8\xAD\xE6\x96\x87"},  // CJK
      {"\xC3\x89" "coles", "New", "\xF0\x9F\x98\x80"},                 // an emoji, for a new key
      {"\xC3\x89" "coles", "Output", "caf\xE9"},                       // not UTF-8
      {"\xC3\x89" "coles", "\xC4\x80", "1"},                           // the key
      {"\xE4\xB8\xAD", "k", "1"},                                      // the section
  };
  for (const Refused& r : refused) {
    errno = 0;
    EXPECT_FALSE(Set(r.section, r.key, r.value)) << r.value;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(Read(ini_), kCp1252Ini);
  EXPECT_EQ(Inode(ini_), before);
  EXPECT_FALSE(fs::exists(ini_ + ".lock")) << "a refused write took the lock";
}

TEST_F(ProfileFileTest, Utf8FilesStayUtf8AndTheEncodingFollowsTheFile) {
  EXPECT_EQ(store_->Encoding(ini_), IniEncoding::kMissing);
  ASSERT_TRUE(Set("S", "k", "\xE4\xB8\xAD"));  // a new file is UTF-8
  EXPECT_EQ(store_->Encoding(ini_), IniEncoding::kUtf8);
  ASSERT_TRUE(Set("S", "j", "caf\xC3\xA9"));
  EXPECT_EQ(Get("S", "j"), "caf\xC3\xA9");
  // A byte that is not UTF-8 would have the file read as Windows-1252 and
  // every other value in it misread.
  for (const auto& [section, value] : {std::pair<std::string, std::string>{"S", "caf\xE9"},
                                       {"caf\xE9", "x"}}) {
    errno = 0;
    EXPECT_FALSE(Set(section, "j", value)) << section << value;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(Read(ini_), "[S]\nk=\xE4\xB8\xAD\nj=caf\xC3\xA9\n");
  EXPECT_FALSE(store_->WriteString("S", "k", "caf\xE9", dir_ + "/new.ini"));
  EXPECT_FALSE(fs::exists(dir_ + "/new.ini"));

  // Replaced by someone else in the code page: read as such from then on.
  Write(dir_ + "/other", "[S]\nj=caf\xE9\n");
  ASSERT_EQ(rename((dir_ + "/other").c_str(), ini_.c_str()), 0);
  EXPECT_EQ(store_->Encoding(ini_), IniEncoding::kWindows1252);
  EXPECT_EQ(Get("S", "j"), "caf\xC3\xA9");

  // A mark declares UTF-8 whatever follows; stray bytes stay as they are.
  Write(dir_ + "/other", "\xEF\xBB\xBF[S]\nj=caf\xE9\n");
  ASSERT_EQ(rename((dir_ + "/other").c_str(), ini_.c_str()), 0);
  EXPECT_EQ(store_->Encoding(ini_), IniEncoding::kUtf8WithBom);
  EXPECT_EQ(Get("S", "j"), "caf\xE9");
  EXPECT_EQ(IniEncodingName(store_->Encoding(ini_)), "UTF-8 with a byte-order mark");
}

TEST_F(ProfileFileTest, ConcurrentWritersLoseNoKey) {
  constexpr int kKeys = 40;
  auto write_keys = [&](const std::string& prefix) {
    for (int i = 0; i < kKeys; ++i) {
      if (!Set("S", prefix + std::to_string(i), std::to_string(i))) return false;
    }
    return true;
  };
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(write_keys("proc" + std::to_string(p) + "_") ? 0 : 1);
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] { EXPECT_TRUE(write_keys("thread" + std::to_string(t) + "_")); });
  }
  for (auto& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (const char* prefix : {"proc0_", "proc1_", "thread0_", "thread1_"}) {
    for (int i = 0; i < kKeys; ++i) {
      EXPECT_EQ(Get("S", prefix + std::to_string(i)), std::to_string(i)) << prefix << i;
    }
  }
}

}  // namespace
}  // namespace tavrin
