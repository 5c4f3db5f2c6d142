#ifndef TAVRIN_CONFIG_INI2_H_
#define TAVRIN_CONFIG_INI2_H_

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/profile/profile.h"

namespace tavrin {

// Typed access to INI values with defaults, optional write-back of the
// default, and a cache for the life of the object.
//
// Each key has a simple life within one object: the first read of a present
// key returns the file's value, writes it back once and caches it; the first
// read of a missing key with write-default writes the default, caches and
// returns it; a read of a missing key without write-default changes nothing;
// every later read of a cached key returns the cached value without looking
// at the file. Values are cut to 299 bytes (never splitting a UTF-8
// character); a value or default longer than that is never written back
// shortened, and the first cut of each key is reported once as a notice.
// A value read from the file ("zzQBDefault" counts as missing) is cached as
// returned, cut; a long value found in the file is not written back at all.
//
// A write that fails is not retried and changes nothing else: the cache
// still takes the value, and the file is named in a notice once per process
// ("cannot write FILE: REASON"; for a read-only file, whose write fails with
// EPERM, "FILE is read-only: it is left as it is, ..."). Notices go to
// standard error unless SetNoticeSink routes them elsewhere.
//
// Not thread-safe: one thread at a time.
class CIni2 {
 public:
  // `store` must outlive the object; null means DefaultProfileStore().
  explicit CIni2(ProfileStore* store = nullptr);
  virtual ~CIni2() = default;

  // The file and the section of the key-only operations.
  void SetFile(const std::string& file) { m_strFile2 = file; }
  void SetSection(const std::string& section) { m_strSection = section; }
  const std::string& file() const { return m_strFile2; }
  const std::string& section() const { return m_strSection; }

  // Core operations, with explicit section and file.
  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, const std::string& file,
                        bool write_default, bool force_read);
  int GetInt(const std::string& section, const std::string& key, int default_value,
             const std::string& file, bool write_default);
  bool GetBool(const std::string& section, const std::string& key, bool default_value,
               const std::string& file, bool write_default);

  // Key-only forms: the section and file set above, never forcing a read.
  std::string GetString(const std::string& key, const std::string& default_value,
                        bool write_default);
  int GetInt(const std::string& key, int default_value, bool write_default);
  bool GetBool(const std::string& key, bool default_value, bool write_default);

  // The longest value the reads return: values are held in a 300-byte
  // buffer with its terminating zero.
  static constexpr size_t kMaxValueBytes = 299;

  // Whether the file holds `key` in the section of the key-only operations
  // ("zzQBDefault" counts as missing). Reads the file itself: nothing is
  // cached or written back.
  bool KeyPresent(const std::string& key) const;

  // The text-to-integer rule of GetInt: leading white space, an optional
  // sign, decimal digits up to the first other character, 0 without digits,
  // clamped to the 32-bit range.
  static int ParseInt(const std::string& text);

  // The store behind the object, for reads that must neither be cached nor
  // write anything back.
  ProfileStore& store() const { return *store_; }

  // Where the notices go from now on (a line of text each, no line end).
  void SetNoticeSink(std::function<void(const std::string&)> sink) { notice_ = std::move(sink); }

 private:
  // Writes `value` back unless the cache holds it already, and caches it.
  void WriteBack(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& file);
  // Writes through the store, noting and reporting a failure.
  void StoreWrite(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& file);
  // `value` cut to the value size limit; the first cut of each key is
  // reported as a notice.
  std::string CutForKey(const std::string& section, const std::string& key,
                        const std::string& file, const std::string& value);

  std::string m_strFile2;    // the file of the key-only operations
  std::string m_strSection;  // the section of the key-only operations
  ProfileStore* store_;
  std::unordered_map<std::string, std::string> cache_;
  std::unordered_set<std::string> cut_reported_;  // cache keys whose cut was reported
  std::function<void(const std::string&)> notice_;
};

}  // namespace tavrin

#endif  // TAVRIN_CONFIG_INI2_H_
