#ifndef TAVRIN_PLATFORM_PROFILE_FAKE_PROFILE_H_
#define TAVRIN_PLATFORM_PROFILE_FAKE_PROFILE_H_

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/profile/profile.h"

namespace tavrin {

// Test double: INI files held in memory. Names match regardless of ASCII
// letter case, as in the file store. It counts the reads and writes that go
// through the ProfileStore interface, so a test can tell whether a caller
// touched the "file"; Set, Erase and Find stand for someone else editing or
// inspecting the file and are not counted. Thread-safe.
class FakeProfileStore : public ProfileStore {
 public:
  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, const std::string& file) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++reads_;
    auto it = values_.find(Id(section, key, file));
    return it == values_.end() ? default_value : it->second;
  }

  bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++writes_;
    if (write_error_ != 0) {
      errno = write_error_;
      return false;
    }
    values_[Id(section, key, file)] = value;
    return true;
  }

  // What SetEncoding set for `file`; otherwise UTF-8 while it holds a key,
  // missing when it holds none.
  IniEncoding Encoding(const std::string& file) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++reads_;
    auto set = encodings_.find(file);
    if (set != encodings_.end()) return set->second;
    auto it = values_.lower_bound(file + '\n');
    const bool holds_key = it != values_.end() && it->first.starts_with(file + '\n');
    return holds_key ? IniEncoding::kUtf8 : IniEncoding::kMissing;
  }

  // Makes `file` one read in `encoding`; the values stay UTF-8, as the file
  // store hands them out.
  void SetEncoding(const std::string& file, IniEncoding encoding) {
    std::lock_guard<std::mutex> lock(mu_);
    encodings_[file] = encoding;
  }

  void Set(const std::string& section, const std::string& key, const std::string& value,
           const std::string& file) {
    std::lock_guard<std::mutex> lock(mu_);
    values_[Id(section, key, file)] = value;
  }

  void Erase(const std::string& section, const std::string& key, const std::string& file) {
    std::lock_guard<std::mutex> lock(mu_);
    values_.erase(Id(section, key, file));
  }

  // The stored value, or nothing when the key is missing.
  std::optional<std::string> Find(const std::string& section, const std::string& key,
                                  const std::string& file) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = values_.find(Id(section, key, file));
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

  // While set, WriteString changes nothing and fails with EACCES (still counted).
  void set_fail_writes(bool fail) {
    std::lock_guard<std::mutex> lock(mu_);
    write_error_ = fail ? EACCES : 0;
  }

  // While set, WriteString fails as on a read-only file: with EPERM.
  void set_read_only(bool read_only) {
    std::lock_guard<std::mutex> lock(mu_);
    write_error_ = read_only ? EPERM : 0;
  }

  int reads() const {
    std::lock_guard<std::mutex> lock(mu_);
    return reads_;
  }
  int writes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return writes_;
  }

 private:
  // The file path is matched exactly, the names without letter case; the
  // separators cannot occur in a name that the file store accepts.
  static std::string Id(const std::string& section, const std::string& key,
                        const std::string& file) {
    std::string id = file + '\n' + section + '\n' + key;
    for (size_t i = file.size(); i < id.size(); ++i) {
      if (id[i] >= 'A' && id[i] <= 'Z') id[i] = static_cast<char>(id[i] - 'A' + 'a');
    }
    return id;
  }

  mutable std::mutex mu_;
  std::map<std::string, std::string> values_;
  std::map<std::string, IniEncoding> encodings_;
  int write_error_ = 0;  // what a write fails with; 0: it succeeds
  int reads_ = 0;
  int writes_ = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_PROFILE_FAKE_PROFILE_H_
