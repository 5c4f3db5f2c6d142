#include "platform/providers/providers.h"

#include "platform/ado/access/access_provider.h"
#include "platform/ado/odbc/odbc_provider.h"

namespace tavrin::ado {
namespace {

// The provider name and the data source of a connection string.
struct Named {
  std::string provider, source;
};

Named NamedIn(const std::string& connection_string) {
  Named named;
  for (const auto& [key, value] : ParseConnectionString(connection_string)) {
    if (key == "provider") named.provider = value;
    else if (key == "data source") named.source = value;
  }
  return named;
}

}  // namespace

std::unique_ptr<Provider> DefaultProviders::Open(const std::string& connection_string,
                                                 int timeout_seconds,
                                                 const CancelCheck& cancelled,
                                                 std::vector<ErrorEntry>* errors) {
  const Named named = NamedIn(connection_string);
  if (IsAccessProviderName(named.provider)) return OpenAccessProvider(named.source, env_, cancelled, errors);
  return OpenOdbcProvider(connection_string, timeout_seconds, errors);
}

std::unique_ptr<Provider> DefaultProviders::OpenStandIn(const std::string& connection_string,
                                                        std::vector<TableShape> tables,
                                                        std::vector<ErrorEntry>* errors) {
  if (IsAccessProviderName(NamedIn(connection_string).provider))
    return OpenAccessStandIn(std::move(tables), env_);
  ThrowProviderNotFound(errors);
}

std::string DefaultProviders::ConnectionStringProblem(const std::string& connection_string) {
  const Named named = NamedIn(connection_string);
  if (IsAccessProviderName(named.provider))
    return named.source.empty() ? "It names no Data Source." : "";
  return OdbcConnectionStringProblem(connection_string);
}

}  // namespace tavrin::ado
