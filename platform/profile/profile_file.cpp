#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/env/env.h"
#include "platform/fs/atomic_file.h"
#include "platform/fs/fd.h"
#include "platform/fs/paths.h"
#include "platform/fs/regular_file.h"
#include "platform/profile/profile.h"
#include "platform/profile/profile_text.h"

namespace tavrin {
namespace {

// Beyond this an INI file is treated as damaged rather than read into memory.
constexpr off_t kMaxFileBytes = off_t{64} << 20;

// An INI file's content and the encoding it was read in.
struct IniText {
  std::string bytes;
  IniEncoding encoding = IniEncoding::kMissing;
};

// Reads a regular file whole. Returns 0 or an errno value; `st` gets the
// file's status when it could be opened.
int ReadWhole(const std::string& path, std::string* text, struct stat* st) {
  // O_NONBLOCK so that a FIFO put in the INI's place cannot block the open.
  fs::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno;
  if (fstat(fd.get(), st) != 0) return errno;
  if (S_ISDIR(st->st_mode)) return EISDIR;
  if (!S_ISREG(st->st_mode)) return EINVAL;
  if (st->st_size > kMaxFileBytes) return EFBIG;
  text->clear();
  text->reserve(static_cast<size_t>(st->st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (text->size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxFileBytes)) return EFBIG;
    text->append(buf, static_cast<size_t>(n));
  }
}

// ReadWhole, with the encoding of what was read. A missing file (ENOENT)
// is the empty UTF-8 text that a write turns into a new file.
int ReadIni(const std::string& path, IniText* ini, struct stat* st) {
  const int err = ReadWhole(path, &ini->bytes, st);
  if (err == ENOENT) {
    ini->bytes.clear();
    ini->encoding = IniEncoding::kUtf8;
  } else {
    ini->encoding = err == 0 ? DetectProfileEncoding(ini->bytes) : IniEncoding::kMissing;
  }
  return err;
}

// Puts `text` in place of `target` (whose status is `old`, or null for a new
// file) through a temporary file in the same folder. Caller holds the lock.
int ReplaceFile(const std::string& target, const struct stat* old, std::string_view text) {
  const std::string temp = fs::DirName(target) + "/." + fs::BaseName(target) + ".tmp";
  // Only the lock holder uses this name, so one found here is left over
  // from a writer that died; it is not ours to keep.
  if (unlink(temp.c_str()) != 0 && errno != ENOENT) return errno;
  std::unique_ptr<fs::AtomicFile> file;
  if (int err = fs::AtomicFile::Create(target, temp, old, &file)) return err;
  if (int err = file->Write(text)) return err;
  return file->Commit();
}

int LockExclusive(const std::string& lock_path, fs::UniqueFd* lock) {
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  // A lock file made by another user may not be writable to us; flock does
  // not need write access. When there is none, the folder refused to take
  // it, and that is the reason to report.
  if (fd < 0 && errno == EACCES) {
    fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) return EACCES;
  }
  if (fd < 0) return errno;
  lock->Reset(fd);
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Sets the key; `current` (may be null) is the file as it is now, which
// spares reading it again when the write changes nothing or is refused.
int WriteProfileString(const std::string& section, const std::string& key,
                       const std::string& value, const std::string& file, const IniText* current) {
  const std::string_view trimmed_key = TrimProfileBlanks(key);
  const std::string_view trimmed_section = TrimProfileBlanks(section);
  if (file.empty() || !StorableInProfile(trimmed_section, trimmed_key, value)) return EINVAL;
  std::string target;
  if (int err = fs::FollowLinks(file, &target)) return err;
  // The file with the key set, or nothing when its encoding cannot hold it.
  const auto updated = [&](const IniText& ini) {
    return WriteEncodedProfileText(ini.bytes, ini.encoding, trimmed_section, trimmed_key, value);
  };

  // Nothing to do, or a refusal, needs no lock: readers of an atomically
  // replaced file see a whole version, and a later writer's change does not
  // depend on ours.
  if (current != nullptr) {
    const auto text = updated(*current);
    if (!text) return EINVAL;
    if (*text == current->bytes) return 0;
  }
  IniText ini;
  struct stat st;
  int err = ReadIni(target, &ini, &st);
  if (err != 0 && err != ENOENT) return err;
  // The rename would replace a read-only file as easily as any other; it
  // is left as the user marked it, as a read-only attribute would keep it.
  if (err == 0 && fs::ReadOnlyFile(st)) return EPERM;
  {
    const auto text = updated(ini);
    if (!text) return EINVAL;
    if (err == 0 && *text == ini.bytes) return 0;
  }

  fs::UniqueFd lock;
  if (int lock_err = LockExclusive(target + ".lock", &lock)) return lock_err;
  // Read again under the lock: another writer may have replaced the file.
  err = ReadIni(target, &ini, &st);
  if (err != 0 && err != ENOENT) return err;
  if (err == 0 && fs::ReadOnlyFile(st)) return EPERM;
  const auto text = updated(ini);
  if (!text) return EINVAL;
  if (err == 0 && *text == ini.bytes) return 0;
  return ReplaceFile(target, err == 0 ? &st : nullptr, *text);
}

// Whether `a` and `b` describe the same version of a file: a replaced file
// has another inode, one written in place another time or size.
bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

class FileProfileStore : public ProfileStore {
 public:
  explicit FileProfileStore(Env& env) : env_(env) {}

  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, const std::string& file) override {
    std::lock_guard<std::mutex> lock(mu_);
    const IniText* ini = Text(file);
    if (ini == nullptr) return default_value;
    return ReadEncodedProfileText(ini->bytes, ini->encoding, section, key).value_or(default_value);
  }

  bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file) override {
    std::lock_guard<std::mutex> lock(mu_);
    int err = WriteProfileString(section, key, value, file, Text(file));
    if (err == 0) return true;
    errno = err;
    return false;
  }

  IniEncoding Encoding(const std::string& file) override {
    std::lock_guard<std::mutex> lock(mu_);
    const IniText* ini = Text(file);
    return ini == nullptr ? IniEncoding::kMissing : ini->encoding;
  }

 private:
  // `file` as it is now, or null when it cannot be read. A run reads
  // hundreds of keys: the file is read again only when its status says it
  // changed. File times are coarse (a few milliseconds, seconds on
  // some file systems), so a file written in place twice within one tick
  // looks the same: a text read less than kSettledSeconds after the file's
  // last change is not trusted, and the file is read again. Caller holds mu_.
  const IniText* Text(const std::string& file) {
    struct stat now;
    if (stat(file.c_str(), &now) != 0 || !S_ISREG(now.st_mode)) {
      cached_path_.clear();
      return nullptr;
    }
    if (file == cached_path_ && SameVersion(now, cached_stat_) && settled_) return &cached_;
    cached_path_.clear();
    const int64_t read_at = env_.NowSeconds();
    if (ReadIni(file, &cached_, &cached_stat_) != 0) return nullptr;
    cached_path_ = file;
    settled_ = read_at - cached_stat_.st_mtim.tv_sec > kSettledSeconds;
    return &cached_;
  }

  static constexpr int64_t kSettledSeconds = 2;

  Env& env_;
  std::mutex mu_;
  std::string cached_path_;  // empty: nothing cached
  struct stat cached_stat_ {};
  IniText cached_;
  bool settled_ = false;  // the text was read well after the file's last change
};

}  // namespace

ProfileStore* DefaultProfileStore() {
  static FileProfileStore store(*Env::Default());
  return &store;
}

std::unique_ptr<ProfileStore> NewFileProfileStore(Env& env) {
  return std::make_unique<FileProfileStore>(env);
}

}  // namespace tavrin
