#include "platform/providers/providers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "platform/ado/ado.h"
#include "platform/ado/ado_test_support.h"
#include "platform/env/fake_env.h"
#include "tools/jet4_writer.h"

namespace tavrin::ado {
namespace {

using test::ErrorOf;

TEST(DefaultProvidersTest, AccessStringsOpenTheFileOthersGoToOdbc) {
  std::string pattern = "/tmp/tavrin-providers-XXXXXX";
  const std::string dir = mkdtemp(pattern.data());
  const std::string path = dir + "/t.mdb";
  jet4::Writer w(path);
  w.BeginTable("T", {{"N", jet4::ColumnType::kLong}});
  w.AddRow({int64_t{1}});
  w.EndTable();
  w.Finish();

  FakeEnv env;
  DefaultProviders providers(env);
  for (const std::string provider : {"Microsoft.Jet.OLEDB.4.0", "microsoft.jet.oledb.4.0",
                                     "Microsoft.ACE.OLEDB.12.0"}) {
    Connection c(providers);
    c.Open(" Provider = " + provider + " ;Data Source=" + path, "", "", -1);
    Recordset rs;
    rs.Open("SELECT * FROM T", std::shared_ptr<Connection>(&c, [](Connection*) {}), adOpenStatic,
            adLockReadOnly, adCmdText);
    EXPECT_EQ(rs.RecordCount(), 1) << provider;
    // The Access provider reads and never writes.
    Command command;
    command.SetActiveConnection(std::shared_ptr<Connection>(&c, [](Connection*) {}));
    command.SetCommandText("UPDATE T SET N = 2");
    EXPECT_EQ(ErrorOf([&] { command.Execute(adCmdText); }), kEFail);
    EXPECT_EQ(c.Errors().back().description, "Cannot update.  Database or object is read-only.");
  }

  Connection c(providers);
  EXPECT_EQ(ErrorOf([&] { c.Open("Provider=Microsoft.Jet.OLEDB.4.0", "", "", -1); }), kEFail);
  EXPECT_EQ(c.Errors().back().description, "Could not find file ''.");
  // Everything else is for ODBC's driver manager, which knows no such driver.
  EXPECT_EQ(ErrorOf([&] { c.Open("Driver={No Such Driver};Server=x", "", "", -1); }), kEFail);
  EXPECT_NE(c.Errors().back().description.find("Can't open lib 'No Such Driver'"), std::string::npos)
      << c.Errors().back().description;
  std::filesystem::remove_all(dir);
}

TEST(DefaultProvidersTest, StandInsAndStringChecksFollowTheSameChoice) {
  FakeEnv env;
  DefaultProviders providers(env);
  std::vector<ErrorEntry> errors;
  auto stand_in = providers.OpenStandIn("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/nowhere.mdb",
                                        {{"Org", {"Status"}}}, &errors);
  EXPECT_EQ(stand_in->Prepare("SELECT * FROM Org WHERE Status = 'Open'", &errors),
            std::vector<std::string>{"Status"});
  EXPECT_EQ(ErrorOf([&] { providers.OpenStandIn("Driver=x", {}, &errors); }), kAdErrProviderNotFound);

  EXPECT_EQ(providers.ConnectionStringProblem("Provider=Microsoft.ACE.OLEDB.12.0;Data Source=a.accdb"), "");
  EXPECT_EQ(providers.ConnectionStringProblem("Provider=Microsoft.Jet.OLEDB.4.0"),
            "It names no Data Source.");
  // SQL Server strings: translated as the ODBC provider would, nothing opened.
  EXPECT_EQ(providers.ConnectionStringProblem(
                "Provider=SQLOLEDB;Data Source=db,1433;Initial Catalog=c;User ID=u;Password=p"),
            "");
  EXPECT_EQ(providers.ConnectionStringProblem("Driver={FreeTDS};Server=db;Port=1433"), "");
  EXPECT_NE(providers.ConnectionStringProblem("Provider=SQLOLEDB;Data Source=np:\\\\db\\pipe\\sql\\query"), "");
  EXPECT_NE(providers.ConnectionStringProblem("Provider=Foo.Bar;Data Source=db"), "");
  // The default "NONE" names nothing that could be opened.
  EXPECT_NE(providers.ConnectionStringProblem("NONE"), "");
}

}  // namespace
}  // namespace tavrin::ado
