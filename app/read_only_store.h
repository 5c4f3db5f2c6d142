#ifndef TAVRIN_APP_READ_ONLY_STORE_H_
#define TAVRIN_APP_READ_ONLY_STORE_H_

#include <string>

#include "platform/profile/profile.h"

namespace tavrin {

// Reads through `store` and drops every write, so that reading the INI with
// the program's own code (defaults and all) leaves it as it is. `store` must
// outlive the object.
class ReadOnlyStore : public ProfileStore {
 public:
  explicit ReadOnlyStore(ProfileStore& store) : store_(store) {}
  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, const std::string& file) override {
    return store_.GetString(section, key, default_value, file);
  }
  bool WriteString(const std::string&, const std::string&, const std::string&,
                   const std::string&) override {
    return true;
  }
  IniEncoding Encoding(const std::string& file) override { return store_.Encoding(file); }

 private:
  ProfileStore& store_;
};

}  // namespace tavrin

#endif  // TAVRIN_APP_READ_ONLY_STORE_H_
