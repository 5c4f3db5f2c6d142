#ifndef TAVRIN_PLATFORM_PROVIDERS_PROVIDERS_H_
#define TAVRIN_PLATFORM_PROVIDERS_PROVIDERS_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/provider.h"
#include "platform/env/env.h"

namespace tavrin::ado {

// The providers the program is built with, chosen from the connection
// string: "Provider=Microsoft.Jet.OLEDB.4.0" or "Microsoft.ACE.OLEDB.*" (any
// letter case) with "Data Source=PATH" opens the Access file PATH (a stand-in
// over empty tables speaks the same dialect); any other string goes to SQL
// Server through ODBC (platform/ado/odbc/odbc_provider.h). `env` (clock and
// sleeps of the engines) must outlive the factory. Thread-safe.
class DefaultProviders : public ProviderFactory {
 public:
  explicit DefaultProviders(Env& env) : env_(env) {}
  std::unique_ptr<Provider> Open(const std::string& connection_string, int timeout_seconds,
                                 const CancelCheck& cancelled,
                                 std::vector<ErrorEntry>* errors) override;
  std::unique_ptr<Provider> OpenStandIn(const std::string& connection_string,
                                        std::vector<TableShape> tables,
                                        std::vector<ErrorEntry>* errors) override;
  std::string ConnectionStringProblem(const std::string& connection_string) override;

 private:
  Env& env_;
};

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_PROVIDERS_PROVIDERS_H_
