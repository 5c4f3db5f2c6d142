#include "platform/ado/odbc/connection_string.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/ado/ado.h"
#include "platform/ado/provider.h"
#include "platform/text/ascii.h"

namespace tavrin::ado::odbc {
namespace {

using text::EqualsIgnoreAsciiCase;
using text::StartsWithIgnoreAsciiCase;

constexpr int kDefaultPort = 1433;

// The words of OLE DB booleans; empty for anything else.
std::optional<bool> ParseBool(const std::string& value) {
  for (const char* yes : {"true", "yes", "sspi", "1"})
    if (EqualsIgnoreAsciiCase(value, yes)) return true;
  for (const char* no : {"false", "no", "0"})
    if (EqualsIgnoreAsciiCase(value, no)) return false;
  return std::nullopt;
}

// A whole number from 1 on (at most six digits); empty for anything else.
std::optional<int> ParsePositive(const std::string& value) {
  if (value.empty() || value.size() > 6 ||
      !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int n = std::atoi(value.c_str());
  return n > 0 ? std::optional<int>(n) : std::nullopt;
}

bool IsSqlServerProvider(const std::string& name) {
  for (const char* p : {"SQLOLEDB", "SQLNCLI", "MSOLEDBSQL"})
    if (StartsWithIgnoreAsciiCase(name, p)) return true;
  return false;
}

// The ODBC string being built, in the syntax of the target driver.
class OdbcBuilder {
 public:
  explicit OdbcBuilder(bool freetds) : freetds_(freetds) {}

  // Appends key=value, braced when `brace` or when the value needs it.
  // False when FreeTDS cannot be given the value (it holds "};").
  bool Add(const std::string& key, const std::string& value, bool brace = false) {
    brace = brace || value.find(';') != std::string::npos || value.starts_with('{') ||
            value != text::Trim(value, " \t");
    if (!text_.empty()) text_ += ';';
    text_ += key + '=';
    if (!brace) {
      text_ += value;
      return true;
    }
    if (freetds_) {
      if (value.find("};") != std::string::npos) return false;
      text_ += '{' + value + '}';
      return true;
    }
    text_ += '{';
    for (char c : value) text_ += c == '}' ? std::string("}}") : std::string(1, c);
    text_ += '}';
    return true;
  }
  const std::string& text() const { return text_; }

 private:
  bool freetds_;
  std::string text_;
};

// The server part of a Data Source: host, port and instance.
struct ServerName {
  std::string host;
  std::string instance;
  int port = 0;  // 0: not given
  bool tcp_prefix = false;
};

// Reads "[tcp:]host[\instance][,port]"; on failure sets out.error.
std::optional<ServerName> ParseDataSource(const std::string& source, OdbcConnection& out) {
  const auto fail = [&out](std::string why) {
    out.error = kEFail;
    out.error_text = std::move(why);
    return std::nullopt;
  };
  std::string s = source;
  ServerName server;
  if (StartsWithIgnoreAsciiCase(s, "tcp:")) {
    server.tcp_prefix = true;
    s.erase(0, 4);
  }
  if (StartsWithIgnoreAsciiCase(s, "np:") || s.starts_with("\\\\"))
    return fail("Data Source \"" + source +
                "\" names a named pipe, which cannot be reached from Linux: give the server as "
                "host or host,port.");
  if (StartsWithIgnoreAsciiCase(s, "lpc:"))
    return fail("Data Source \"" + source +
                "\" uses shared memory, which cannot be reached from Linux: give the server as "
                "host or host,port.");
  if (StartsWithIgnoreAsciiCase(s, "(localdb)"))
    return fail("Data Source \"" + source +
                "\" is a LocalDB instance, which exists on Windows only: give a server as host "
                "or host,port.");
  const size_t comma = s.find(',');
  if (comma != std::string::npos) {
    const std::string port = std::string(text::Trim(s.substr(comma + 1), " \t"));
    const std::optional<int> n = ParsePositive(port);
    if (!n || *n > 65535)
      return fail("Data Source \"" + source + "\": the port must be a number from 1 to 65535.");
    server.port = *n;
    s.erase(comma);
  }
  const size_t slash = s.find('\\');
  if (slash != std::string::npos) {
    server.instance = s.substr(slash + 1);
    s.erase(slash);
  }
  server.host = std::string(text::Trim(s, " \t"));
  if (server.host.empty()) return fail("Data Source \"" + source + "\" names no server.");
  if (server.host == "." || EqualsIgnoreAsciiCase(server.host, "(local)")) {
    out.warnings.push_back("Data Source \"" + server.host + "\" is taken as localhost.");
    server.host = "localhost";
  }
  if (!server.instance.empty() && server.port != 0) {
    out.warnings.push_back("Data Source \"" + source + "\": the port is used and the instance name \"" +
                           server.instance + "\" is not.");
    server.instance.clear();
  }
  return server;
}

}  // namespace

bool IsOleDbString(const std::string& text) {
  bool provider = false;
  for (const ConnectionStringPart& p : ScanConnectionString(text, ValueSyntax::kOdbc)) {
    if (p.key == "driver" || p.key == "dsn" || p.key == "filedsn") return false;
    provider = provider || p.key == "provider";
  }
  return provider;
}

OdbcConnection TranslateOleDb(const std::string& text, const SqlServerDriver& driver) {
  OdbcConnection out;
  const bool freetds = driver.kind == SqlServerDriver::kFreeTds;
  const auto fail = [&out](HRESULT hr, std::string why) {
    out.error = hr;
    out.error_text = std::move(why);
    return out;
  };

  std::string provider, data_source, database, uid, pwd;
  bool have_uid = false, have_pwd = false;
  bool trusted = false;
  std::optional<bool> encrypt, trust_certificate;
  bool strict = false;
  std::vector<std::pair<std::string, std::string>> others;  // ODBC keyword, value
  for (const auto& [key, value] : ParseConnectionString(text)) {
    if (key == "provider") {
      provider = value;
    } else if (key == "data source" || key == "server" || key == "address" || key == "addr" ||
               key == "network address") {
      data_source = value;
    } else if (key == "initial catalog" || key == "database") {
      database = value;
    } else if (key == "user id" || key == "uid" || key == "user") {
      uid = value;
      have_uid = true;
    } else if (key == "password" || key == "pwd") {
      pwd = value;
      have_pwd = true;
    } else if (key == "integrated security" || key == "trusted_connection") {
      trusted = ParseBool(value).value_or(false);
    } else if (key == "persist security info") {
      // Only says whether ADO may hand the password back; nothing to do.
    } else if (key == "encrypt" || key == "use encryption for data") {
      if (EqualsIgnoreAsciiCase(value, "strict")) {
        strict = true;
        encrypt = true;
      } else if (EqualsIgnoreAsciiCase(value, "mandatory")) {
        encrypt = true;
      } else if (EqualsIgnoreAsciiCase(value, "optional")) {
        encrypt = false;
      } else {
        encrypt = ParseBool(value);
        if (!encrypt) out.warnings.push_back("Encrypt=" + value + " is not understood; it is taken as False.");
      }
    } else if (key == "trustservercertificate" || key == "trust server certificate") {
      trust_certificate = ParseBool(value);
    } else if (key == "connect timeout" || key == "connection timeout") {
      out.login_timeout = ParsePositive(value);
      if (!out.login_timeout)
        out.warnings.push_back("Connect Timeout=" + value +
                               " is not a number of seconds from 1 on; the default is used.");
    } else if (key == "general timeout") {
      out.query_timeout = ParsePositive(value);
      if (!out.query_timeout)
        out.warnings.push_back("General Timeout=" + value +
                               " is not a number of seconds from 1 on; the default is used.");
    } else if (key == "application name") {
      others.emplace_back("APP", value);
    } else if (key == "workstation id") {
      others.emplace_back("WSID", value);
    } else if (key == "current language") {
      others.emplace_back("Language", value);
    } else if (key == "packet size") {
      if (freetds) others.emplace_back("PacketSize", value);
    } else if (key == "multipleactiveresultsets" || key == "mars connection") {
      if (ParseBool(value).value_or(false)) others.emplace_back("MARS_Connection", freetds ? "Yes" : "yes");
    } else if (key == "applicationintent" || key == "application intent") {
      others.emplace_back("ApplicationIntent", value);
    } else if (key == "attachdbfilename" || key == "initial file name") {
      others.emplace_back("AttachDbFilename", value);
    } else if (key == "network library" || key == "network" || key == "net") {
      if (!EqualsIgnoreAsciiCase(value, "dbmssocn"))
        return fail(kEFail, "Network Library=" + value +
                                " cannot be used from Linux: only TCP/IP (dbmssocn) can.");
    } else if (key == "failover partner") {
      out.warnings.push_back("Failover Partner is not supported here and is left out.");
    } else {
      out.warnings.push_back("The keyword \"" + key + "\" is not known for SQL Server and is left out.");
    }
  }

  if (!IsSqlServerProvider(provider))
    return fail(kAdErrProviderNotFound,
                "Provider cannot be found. It may not be properly installed. \"" + provider +
                    "\" is not a SQL Server provider: use SQLOLEDB, SQLNCLI or MSOLEDBSQL, or "
                    "an ODBC connection string (Driver=...;Server=...).");
  if (strict && freetds)
    return fail(kEFail, "Encrypt=Strict needs TDS 8.0, which FreeTDS does not speak: use "
                        "Encrypt=True.");
  if (data_source.empty())
    return fail(kEFail, "The connection string names no server: add Data Source=host,port.");
  const std::optional<ServerName> server = ParseDataSource(data_source, out);
  if (!server) return out;

  OdbcBuilder b(freetds);
  b.Add("Driver", driver.name, true);
  if (freetds) {
    if (server->instance.empty()) {
      b.Add("Server", server->host);
      b.Add("Port", std::to_string(server->port ? server->port : kDefaultPort));
    } else {
      b.Add("Server", server->host + "\\" + server->instance);
    }
  } else if (server->instance.empty()) {
    b.Add("Server", "tcp:" + server->host + "," +
                        std::to_string(server->port ? server->port : kDefaultPort));
  } else {
    b.Add("Server", (server->tcp_prefix ? "tcp:" : "") + server->host + "\\" + server->instance);
  }
  if (!database.empty()) b.Add("Database", database);
  if ((have_uid && !b.Add("UID", uid, true)) || (have_pwd && !b.Add("PWD", pwd, true)))
    return fail(kEFail, "FreeTDS cannot be given a user name or password that holds \"};\".");
  if (trusted) {
    b.Add("Trusted_Connection", freetds ? "Yes" : "yes");
    out.warnings.push_back(
        freetds ? "Integrated Security needs a Kerberos ticket (kinit) on this machine; "
                  "User ID=DOMAIN\\user with its Password logs in with NTLM instead."
                : "Integrated Security needs a Kerberos ticket (kinit) on this machine.");
  }
  const bool encrypted = encrypt.value_or(false);
  if (freetds) {
    b.Add("Encryption", encrypted ? "require" : "request");
    if (trust_certificate == false)
      out.warnings.push_back(
          "TrustServerCertificate=False: FreeTDS checks the server's certificate only when "
          "freetds.conf names a \"ca file\".");
  } else {
    b.Add("Encrypt", strict ? "strict" : encrypted ? "yes" : "no");
    if (trust_certificate) b.Add("TrustServerCertificate", *trust_certificate ? "yes" : "no");
  }
  for (const auto& [key, value] : others) {
    if (!b.Add(key, value)) return fail(kEFail, "FreeTDS cannot be given a " + key + " that holds \"};\".");
  }
  if (freetds) {
    b.Add("TDS_Version", "7.4");
    b.Add("ClientCharset", "UTF-8");
  }
  out.connection_string = b.text();
  return out;
}

OdbcConnection PassThrough(const std::string& text, bool freetds) {
  OdbcConnection out;
  out.connection_string = text;
  const auto pairs = ScanConnectionString(text, ValueSyntax::kOdbc);
  const bool has_version = std::any_of(pairs.begin(), pairs.end(),
                                       [](const ConnectionStringPart& p) { return p.key == "tds_version"; });
  if (freetds && !has_version) {
    const std::string_view trimmed = text::Trim(text, " \t");
    if (!trimmed.empty() && !trimmed.ends_with(';')) out.connection_string += ';';
    out.connection_string += "TDS_Version=7.4";
  }
  return out;
}

std::string OdbcValue(const std::string& text, const std::string& keyword) {
  std::string value;
  for (const ConnectionStringPart& p : ScanConnectionString(text, ValueSyntax::kOdbc)) {
    if (!EqualsIgnoreAsciiCase(p.key, keyword)) continue;
    std::string_view v = std::string_view(text).substr(p.value_begin, p.value_end - p.value_begin);
    v = text::Trim(v, " \t");
    if (v.size() >= 2 && v.front() == '{' && v.back() == '}') v = v.substr(1, v.size() - 2);
    value = std::string(v);
  }
  return value;
}

SqlServerDriver ChooseSqlServerDriver(const std::vector<std::string>& drivers) {
  SqlServerDriver best;
  int best_version = -1;
  for (const std::string& name : drivers) {
    if (EqualsIgnoreAsciiCase(name, "FreeTDS")) return {SqlServerDriver::kFreeTds, name};
    const std::string_view prefix = "ODBC Driver ", suffix = " for SQL Server";
    if (!StartsWithIgnoreAsciiCase(name, prefix) || name.size() <= prefix.size() + suffix.size() ||
        !EqualsIgnoreAsciiCase(std::string_view(name).substr(name.size() - suffix.size()), suffix))
      continue;
    const int version = std::atoi(name.c_str() + prefix.size());
    if (version > best_version) {
      best_version = version;
      best = {SqlServerDriver::kMicrosoft, name};
    }
  }
  return best;
}

bool IsFreeTdsLibrary(const std::string& library) {
  const size_t slash = library.rfind('/');
  const std::string_view base =
      slash == std::string::npos ? std::string_view(library) : std::string_view(library).substr(slash + 1);
  return base.starts_with("libtdsodbc");
}

}  // namespace tavrin::ado::odbc
