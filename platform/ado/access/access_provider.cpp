#include "platform/ado/access/access_provider.h"

#include <memory>
#include <stdexcept>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_rewrite.h"
#include "platform/ado/access/table_module.h"
#include "platform/text/ascii.h"

namespace tavrin::ado {
namespace {

using namespace access;

class AccessProvider : public Provider {
 public:
  AccessProvider(std::string path, Env& env, CancelCheck cancelled, const AccessOptions& options)
      : path_(std::move(path)), env_(env), cancelled_(std::move(cancelled)), options_(options) {}

  std::unique_ptr<ResultSet> Query(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    try {
      return RunQuery(sql);
    } catch (const ProviderFailure& f) {
      ThrowAsComError(errors, f);
    } catch (const std::length_error&) {
      ThrowAsComError(errors, {kEOutOfMemory, "The query result is too large.", {}});
    }
  }

  void Execute(const std::string&, std::vector<ErrorEntry>* errors) override {
    ThrowAsComError(errors, {kEFail, "Cannot update.  Database or object is read-only.", {}});
  }

 private:
  std::unique_ptr<ResultSet> RunQuery(const std::string& jet) {
    RewrittenQuery q;
    try {
      q = RewriteJetSql(jet);
    } catch (const JetSqlError& e) {
      throw QueryError(e.what());
    }
    AttachedTables data;
    data.tables = ReadAccessFile(path_, {q.tables, true}, env_, cancelled_, options_.reader);
    return RunJetQuery(q, data, env_, {cancelled_, options_.query_deadline});
  }

  std::string path_;
  Env& env_;
  CancelCheck cancelled_;
  AccessOptions options_;
};

}  // namespace

bool IsAccessProviderName(const std::string& name) {
  return text::EqualsIgnoreAsciiCase(name, "Microsoft.Jet.OLEDB.4.0") ||
         text::StartsWithIgnoreAsciiCase(name, "Microsoft.ACE.OLEDB.");
}

std::unique_ptr<Provider> OpenAccessProvider(const std::string& path, Env& env, CancelCheck cancelled,
                                             std::vector<ErrorEntry>* errors, const AccessOptions& options) {
  try {
    ReadAccessFile(path, {}, env, cancelled, options.reader);
  } catch (const ProviderFailure& f) {
    ThrowAsComError(errors, f);
  }
  return std::make_unique<AccessProvider>(path, env, std::move(cancelled), options);
}

}  // namespace tavrin::ado
