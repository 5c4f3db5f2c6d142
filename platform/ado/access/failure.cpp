#include "platform/ado/access/failure.h"

#include "platform/ado/access/access_provider.h"

namespace tavrin::ado::access {

void ThrowAsComError(std::vector<ErrorEntry>* errors, const ProviderFailure& f) {
  for (const auto& w : f.warnings) errors->push_back({f.hr, "libmdb: " + w});
  errors->push_back({f.hr, f.description});
  throw _com_error(f.hr, std::string(kJetSource), f.description);
}

std::string NotFoundText(const std::string& path) { return "Could not find file '" + path + "'."; }

std::string BadFormatText(const std::string& path) {
  return "Unrecognized database format '" + path + "'.";
}

ProviderFailure Damaged(const std::string& table, const std::string& what,
                        std::vector<std::string> warnings) {
  return {kEFail, "The table '" + table + "' cannot be read completely: " + what +
                      " The database file may be damaged or was being changed.",
          std::move(warnings), true};
}

ProviderFailure Changed(const std::string& path) {
  return {kDbConcurrencyViolation, "The database file '" + path + "' was changed while it was being read.", {}, true};
}

ProviderFailure NoTable(const std::string& name) {
  return {kDbNoTable,
          "The Microsoft Jet database engine cannot find the input table or query '" + name +
              "'.  Make sure it exists and that its name is spelled correctly.",
          {}};
}

ProviderFailure QueryError(const std::string& message) { return {kDbErrorsInCommand, message, {}}; }

ProviderFailure Stopped() { return {kEAbort, "The operation was stopped on request.", {}}; }

}  // namespace tavrin::ado::access
