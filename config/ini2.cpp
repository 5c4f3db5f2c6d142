#include "config/ini2.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <system_error>

#include "platform/env/stderr_lock.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

// Passed to the store as the default, so that a missing key can be told
// from one present with any ordinary value.
constexpr const char* kMissing = "zzQBDefault";

std::string CacheKey(const std::string& file, const std::string& section, const std::string& key) {
  return file + " [" + section + "] " + key;
}

// True the first time `file` is named in this process: a schedule run
// writes its keys at every start, and one line per file is what the user
// needs to act on; the run goes on with its defaults.
bool FirstWriteFailure(const std::string& file) {
  static std::mutex mu;
  static std::set<std::string> reported;
  std::lock_guard<std::mutex> lock(mu);
  return reported.insert(file).second;
}

void NoticeToStderr(const std::string& text) {
  std::lock_guard<std::mutex> lock(StderrLock());
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace

CIni2::CIni2(ProfileStore* store)
    : store_(store ? store : DefaultProfileStore()), notice_(NoticeToStderr) {}

std::string CIni2::GetString(const std::string& section, const std::string& key,
                             const std::string& default_value, const std::string& file,
                             bool write_default, bool force_read) {
  const std::string cache_key = CacheKey(file, section, key);
  if (!force_read) {
    auto it = cache_.find(cache_key);
    if (it != cache_.end()) return it->second;  // cached as returned, cut
  }
  std::string value = store_->GetString(section, key, kMissing, file);
  const bool missing = value == kMissing;
  if (missing) value = default_value;
  std::string cut = CutForKey(section, key, file, value);
  if (write_default || !missing) {
    if (cut.size() == value.size()) {
      WriteBack(section, key, value, file);
    } else if (missing) {
      // Written whole, so that the next start reads it back and cuts it the
      // same way. A long value found in the file is left as it is.
      StoreWrite(section, key, value, file);
    }
    cache_[cache_key] = cut;
  }
  return cut;
}

int CIni2::GetInt(const std::string& section, const std::string& key, int default_value,
                  const std::string& file, bool write_default) {
  return ParseInt(
      GetString(section, key, std::to_string(default_value), file, write_default, false));
}

bool CIni2::GetBool(const std::string& section, const std::string& key, bool default_value,
                    const std::string& file, bool write_default) {
  const std::string value =
      GetString(section, key, default_value ? "Yes" : "No", file, write_default, false);
  return text::EqualsIgnoreAsciiCase(value, "Yes") || text::EqualsIgnoreAsciiCase(value, "True") ||
         text::EqualsIgnoreAsciiCase(value, "On") || text::EqualsIgnoreAsciiCase(value, "1");
}

std::string CIni2::GetString(const std::string& key, const std::string& default_value,
                             bool write_default) {
  return GetString(m_strSection, key, default_value, m_strFile2, write_default, false);
}

int CIni2::GetInt(const std::string& key, int default_value, bool write_default) {
  return GetInt(m_strSection, key, default_value, m_strFile2, write_default);
}

bool CIni2::GetBool(const std::string& key, bool default_value, bool write_default) {
  return GetBool(m_strSection, key, default_value, m_strFile2, write_default);
}

bool CIni2::KeyPresent(const std::string& key) const {
  return store_->GetString(m_strSection, key, kMissing, m_strFile2) != kMissing;
}

int CIni2::ParseInt(const std::string& text) {
  size_t i = 0;
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulates no further than one past the largest magnitude, so any
  // number of digits clamps without overflowing.
  constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(kLimit, magnitude * 10 + (text[i] - '0'));
  }
  if (negative) return static_cast<int>(-magnitude);
  return static_cast<int>(std::min<int64_t>(magnitude, INT32_MAX));
}

void CIni2::WriteBack(const std::string& section, const std::string& key, const std::string& value,
                      const std::string& file) {
  const std::string cache_key = CacheKey(file, section, key);
  auto it = cache_.find(cache_key);
  if (it != cache_.end() && it->second == value) return;
  StoreWrite(section, key, value, file);
  cache_[cache_key] = value;
}

void CIni2::StoreWrite(const std::string& section, const std::string& key,
                       const std::string& value, const std::string& file) {
  if (store_->WriteString(section, key, value, file)) return;
  const int err = errno;
  if (!FirstWriteFailure(file)) return;
  if (err == EPERM) {
    notice_("TavrinReport: " + file +
            " is read-only: it is left as it is, and the keys it lacks take their defaults");
  } else {
    notice_("TavrinReport: cannot write " + file + ": " + std::generic_category().message(err));
  }
}

std::string CIni2::CutForKey(const std::string& section, const std::string& key,
                             const std::string& file, const std::string& value) {
  const size_t length = text::Utf8CutLength(value, kMaxValueBytes);
  if (length == value.size()) return value;
  if (cut_reported_.insert(CacheKey(file, section, key)).second) {
    notice_("TavrinReport: value of [" + section + "] " + key + " is longer than " +
            std::to_string(kMaxValueBytes) + " bytes; using its first " + std::to_string(length) +
            " bytes");
  }
  return value.substr(0, length);
}

}  // namespace tavrin
