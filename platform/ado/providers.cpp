#include "platform/ado/providers.h"

#include "platform/ado/access/access_provider.h"
#include "platform/ado/odbc/odbc_provider.h"

namespace tavrin::ado {

std::unique_ptr<Provider> DefaultProviders::Open(const std::string& connection_string,
                                                 int timeout_seconds,
                                                 const CancelCheck& cancelled,
                                                 std::vector<ErrorEntry>* errors) {
  std::string provider, source;
  for (const auto& [key, value] : ParseConnectionString(connection_string)) {
    if (key == "provider") provider = value;
    else if (key == "data source") source = value;
  }
  if (IsAccessProviderName(provider)) return OpenAccessProvider(source, env_, cancelled, errors);
  return OpenOdbcProvider(connection_string, timeout_seconds, errors);
}

}  // namespace tavrin::ado
