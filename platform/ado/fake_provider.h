#ifndef TAVRIN_PLATFORM_ADO_FAKE_PROVIDER_H_
#define TAVRIN_PLATFORM_ADO_FAKE_PROVIDER_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/provider.h"

namespace tavrin::ado {

// Test double of a database server: a provider factory whose connections
// record every batch and answer as the test scripts them. Shared by every
// connection it opens; used by one thread.
class FakeServer : public ProviderFactory {
 public:
  // A batch containing `match` fails with `errors` (and kills the
  // connection when `dies`).
  struct Failure {
    std::string match;
    std::vector<ErrorEntry> errors;
    bool dies = false;
  };

  // Every batch, table check ("OPEN TABLE name") and query, in order.
  std::vector<std::string> batches;
  std::vector<std::string> opened;  // connection strings opened
  std::vector<Failure> failures;
  // When set, Open fails with these entries (after `warnings`).
  std::vector<ErrorEntry> open_errors;
  std::vector<std::string> warnings;  // entries of every open, as warnings
  int connections = 0;  // open providers

  std::unique_ptr<Provider> Open(const std::string& connection_string, int /*timeout*/,
                                 const CancelCheck& /*cancelled*/,
                                 std::vector<ErrorEntry>* errors) override {
    for (const std::string& w : warnings) errors->push_back({0, w, true});
    if (!open_errors.empty()) {
      errors->insert(errors->end(), open_errors.begin(), open_errors.end());
      throw _com_error(kEFail, std::string("Fake"), open_errors.front().description);
    }
    opened.push_back(connection_string);
    return std::make_unique<Connection>(*this);
  }

 private:
  class Rows : public ResultSet {
   public:
    int64_t RowCount() const override { return 0; }
    const std::vector<std::string>& Columns() const override { return columns_; }
    Variant Value(int64_t, int) override { return Variant(); }

   private:
    std::vector<std::string> columns_;
  };

  class Connection : public Provider {
   public:
    explicit Connection(FakeServer& server) : server_(server) { ++server_.connections; }
    ~Connection() override { --server_.connections; }
    std::unique_ptr<ResultSet> Query(const std::string& sql, std::vector<ErrorEntry>* errors) override {
      Run(sql, errors);
      return std::make_unique<Rows>();
    }
    void Execute(const std::string& sql, std::vector<ErrorEntry>* errors) override { Run(sql, errors); }
    std::unique_ptr<ResultSet> OpenTable(const std::string& table,
                                         std::vector<ErrorEntry>* errors) override {
      return Query("OPEN TABLE " + table, errors);
    }
    bool IsConnectionDead() const override { return dead_; }

   private:
    void Run(const std::string& sql, std::vector<ErrorEntry>* errors) {
      server_.batches.push_back(sql);
      if (dead_) Fail({{0, "Communication link failure"}}, errors);
      for (const Failure& f : server_.failures) {
        if (sql.find(f.match) == std::string::npos) continue;
        dead_ = f.dies;
        Fail(f.errors, errors);
      }
    }
    [[noreturn]] static void Fail(const std::vector<ErrorEntry>& entries, std::vector<ErrorEntry>* errors) {
      errors->insert(errors->end(), entries.begin(), entries.end());
      throw _com_error(kDbErrorsInCommand, std::string("Fake"),
                       entries.empty() ? std::string() : entries.front().description);
    }
    FakeServer& server_;
    bool dead_ = false;
  };
};

}  // namespace tavrin::ado

#endif  // TAVRIN_PLATFORM_ADO_FAKE_PROVIDER_H_
