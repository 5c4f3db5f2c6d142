#include "platform/ado/access/access_provider.h"

#include <malloc.h>
#include <memory>
#include <new>
#include <stdexcept>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/fetched_result.h"
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
  // Over empty stand-in tables instead of a file.
  AccessProvider(std::vector<TableShape> stand_in, Env& env)
      : env_(env), stand_in_(std::move(stand_in)), is_stand_in_(true) {}

  std::unique_ptr<ResultSet> Query(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    try {
      const RewrittenQuery q = RewriteJetSql(sql);
      const QueryControl control{cancelled_, options_.query_deadline};
      if (!is_stand_in_ && !q.rowid_sql.empty() && q.tables.size() == 1) {
        if (auto result = QueryInPart(q, control)) return result;
      }
      AttachedTables data;
      data.tables = Tables(q, true);
      return RunJetQuery(q, data, env_, control);
    } catch (const ProviderFailure& f) {
      ThrowAsComError(errors, f);
    } catch (const std::length_error&) {
      ThrowAsComError(errors, {kEOutOfMemory, "The query result is too large.", {}});
    } catch (const std::bad_alloc&) {
      // The system gave less than the query's own limit (an address-space
      // limit): the query still fails with its reason.
      ThrowAsComError(errors, {kEOutOfMemory, "the query needs more memory than the system gives it.", {}});
    }
  }

  void Execute(const std::string&, std::vector<ErrorEntry>* errors) override {
    ThrowAsComError(errors, {kEFail, "Cannot update.  Database or object is read-only.", {}});
  }

  std::vector<std::string> Prepare(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    try {
      const RewrittenQuery q = RewriteJetSql(sql);
      AttachedTables data;
      data.tables = Tables(q, false);
      return PrepareJetQuery(q, data, env_);
    } catch (const ProviderFailure& f) {
      ThrowAsComError(errors, f);
    }
  }

 private:
  // A query that delivers a table's own rows: of the table only the columns
  // that the query's text names are read, and the rows it chooses are read
  // again whole as the caller reaches them (fetched_result.h). Null when
  // the query turns out to read more than those columns.
  std::unique_ptr<ResultSet> QueryInPart(const RewrittenQuery& q, const QueryControl& control) {
    FileReading reading =
        ReadAccessFileKept(path_, {q.tables, true, q.rowid_names}, env_, cancelled_, options_.reader);
    AttachedTables data;
    data.tables = reading.tables;
    // The places come from the reader, which the file may have subverted.
    if (data.tables[0]->places.size() != data.tables[0]->rows())
      throw Damaged(data.tables[0]->name, "its reader did not say where its rows lie.");
    std::optional<std::vector<uint32_t>> order = RunJetRowQuery(q, data, env_, control);
    if (!order) return nullptr;
    // The query's own memory, freed now, lies between blocks still in use,
    // where the allocator keeps it: give it back for the rest of the report.
    malloc_trim(0);
    return std::make_unique<FetchedResult>(data.tables[0], std::move(reading.file), std::move(*order),
                                           std::move(reading.fetch), env_, cancelled_, options_.reader);
  }

  // The tables that `q` names, in its order: read from the file (with their
  // rows when `rows`), or the stand-ins of those names.
  std::vector<std::shared_ptr<StoredTable>> Tables(const RewrittenQuery& q, bool rows) {
    if (!is_stand_in_) return ReadAccessFile(path_, {q.tables, rows}, env_, cancelled_, options_.reader);
    std::vector<std::shared_ptr<StoredTable>> tables;
    for (const auto& name : q.tables) tables.push_back(StandIn(name));
    return tables;
  }

  std::shared_ptr<StoredTable> StandIn(const std::string& name) const {
    for (const TableShape& shape : stand_in_) {
      if (!text::EqualsIgnoreAsciiCase(shape.name, name)) continue;
      auto table = std::make_shared<StoredTable>();
      table->name = shape.name;
      for (const auto& column : shape.columns) table->columns.push_back({column, Tag::kText});
      table->Finish();
      return table;
    }
    throw NoTable(name);
  }

  std::string path_;
  Env& env_;
  CancelCheck cancelled_;
  AccessOptions options_;
  std::vector<TableShape> stand_in_;
  bool is_stand_in_ = false;
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

std::unique_ptr<Provider> OpenAccessStandIn(std::vector<TableShape> tables, Env& env) {
  return std::make_unique<AccessProvider>(std::move(tables), env);
}

}  // namespace tavrin::ado
