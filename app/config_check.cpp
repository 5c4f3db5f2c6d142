#include "app/config_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "app/read_only_store.h"
#include "app/schedule.h"
#include "config/ini2.h"
#include "config/report_definition.h"
#include "data/cado.h"
#include "data/org_info.h"
#include "data/source_database.h"
#include "output/field_values.h"
#include "output/report_output.h"
#include "platform/ado/provider.h"
#include "platform/fs/paths.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

// The host of a definition's load: a refusal box is the only thing a load
// shows; the check says so in a finding of its own and keeps the box's text.
class QuietHost : public RunHost {
 public:
  const std::string& box() const { return box_; }
  void SetStatus(const std::string&) override {}
  void SetFailureStatus(const std::string&) override {}
  void SetRecordStatus(const std::string&, int32_t, int32_t) override {}
  void SetProgress(int) override {}
  int MessageBox(const std::string& text, const std::string&, BoxStyle) override {
    box_ = text;
    return kIdOk;
  }
  void ShowTimedMessage(const std::string&, int) override {}
  void StandardOutput(const std::string&) override {}
  void Notice(const std::string&, Severity) override {}
  void RecordFailure() override {}
  void SourceChanged() override {}
  bool StopRequested() const override { return false; }

 private:
  std::string box_;
};

std::string ErrnoText(int err) { return std::strerror(err); }

// `  error: [REPORT] KEY = "VALUE": WHAT`, a line of the check's text.
std::string Finding(const char* kind, const std::string& report, const std::string& key,
                    const std::string& value, const std::string& what) {
  return std::string("  ") + kind + ": [" + report + "] " + key + " = \"" + value + "\": " + what +
         "\n";
}

// The descriptions of a provider's diagnostics, joined; the exception's own
// when there are none.
std::string Reason(const std::vector<ado::ErrorEntry>& errors, const _com_error& e) {
  const std::string reason = JoinDescriptions(errors, DiagnosticsTaken::kAll);
  return reason.empty() ? e.Description().value_or(e.ErrorMessage()) : reason;
}

// Checks one loaded report definition, appending to the text.
class ReportCheck {
 public:
  ReportCheck(const CReportDefinition& def, FileSystem& files, ado::ProviderFactory& providers,
              CheckResult* result, int* problems)
      : def_(def), files_(files), providers_(providers), result_(result), problems_(problems) {}

  void Run() {
    const OutputKind kind = ParseOutputKind(def_.m_strOutput);
    Line("output", OutputKindName(kind));
    if (!text::EqualsIgnoreAsciiCase(def_.m_strOutput, OutputKindName(kind)))
      Warning("Output", def_.m_strOutput, "is no output kind; the report writes CSV");
    Line("source", def_.m_strDataPath);
    ShowMapping(def_.m_DataPathKey);
    switch (kind) {
      case OutputKind::kPrinter:
        Line("destination", "the printer that --printer names, or the default one");
        break;
      case OutputKind::kSqlServer:
        Line("destination", ado::MaskPasswords(def_.m_strDestinationDBConnectString));
        CheckConnectionString();
        break;
      case OutputKind::kCsv:
      case OutputKind::kXml:
      case OutputKind::kHtml:
        Line("destination", def_.m_strOutputFilename);
        ShowMapping(def_.m_OutputFilenameKey);
        if (Usable(def_.m_OutputFilenameKey)) CheckOutputFile();
        break;
    }
    if (kind == OutputKind::kXml) {
      CheckInputFile(def_.m_HeaderFileKey);
      CheckInputFile(def_.m_TrailerFileKey);
    }
    std::string fields;
    for (const FieldInfo& f : def_.m_FieldInfoArray)
      fields += (fields.empty() ? "" : ", ") + f.strFieldName + (f.bSort ? " (sort)" : "");
    Line("fields", fields.empty() ? "(none)" : fields);
    // The HTML page and the publication take the record's own fields; the
    // other kinds write the named ones.
    if (kind != OutputKind::kHtml && kind != OutputKind::kSqlServer) CheckFieldNames();
    Line("query", CSourceDatabase::BuildQuery(def_.m_strWhere, def_.m_FieldInfoArray));
    CheckQuery();
  }

 private:
  void Line(const std::string& label, const std::string& value) {
    std::string padded = "  " + label;
    padded.resize(std::max<size_t>(padded.size() + 1, 15), ' ');
    result_->text += padded + value + "\n";
  }

  void Error(const std::string& key, const std::string& value, const std::string& what) {
    result_->text += Finding("error", def_.m_strReportName, key, value, what);
    ++*problems_;
  }
  void Warning(const std::string& key, const std::string& value, const std::string& what) {
    result_->text += Finding("warning", def_.m_strReportName, key, value, what);
  }

  // The path that a Windows path was mapped to, and by which line.
  void ShowMapping(const IniPath& key) {
    if (!key.mapping.empty())
      Line("mapped", key.key + " \"" + key.value + "\" is " + key.path + " (" + key.mapping + " in [" +
                         kPathMappingSection + "])");
  }

  // True when `key` holds a path that can be used here; otherwise an error
  // that says why (and which mapping to add).
  bool Usable(const IniPath& key) {
    if (!key.usable()) Error(key.key, key.value, key.refusal);
    return key.usable();
  }

  void CheckFieldNames() {
    if (def_.m_FieldInfoArray.empty())
      Warning("ReportField1", "!BLANK!", "no field is set; every record would be an empty line");
    for (const FieldInfo& f : def_.m_FieldInfoArray) {
      if (!IsFieldName(f.strFieldName))
        Error(FieldKey(f), f.strFieldName,
              "not a field name; the report would write \"VALUE NOT FOUND\"");
    }
  }

  static std::string FieldKey(const FieldInfo& f) { return "ReportField" + std::to_string(f.nNumber); }

  // Whether the name of `path` fits in its folder's file system; an error
  // when it does not. (A link's target that does not fit fails to be
  // reached.)
  bool NameFits(const char* key, const std::string& value, const std::string& path) {
    const size_t length = fs::BaseName(path).size();
    const size_t limit = fs::NameMax(fs::DirName(path));
    if (length <= limit) return true;
    Error(key, value,
          "the name \"" + fs::BaseName(path) + "\" is " + std::to_string(length) +
              " bytes long; the file system takes at most " + std::to_string(limit));
    return false;
  }

  void CheckOutputFile() {
    const std::string& path = def_.m_strOutputFilename;
    const std::string& value = def_.m_OutputFilenameKey.value;
    if (!NameFits("OutputFilename", value, path)) return;
    std::string target;
    if (const int err = fs::FollowLinks(path, &target); err != 0) {
      Error("OutputFilename", value, "cannot be reached: " + ErrnoText(err));
      return;
    }
    struct stat st {};
    if (files_.Stat(target, &st) == 0 && S_ISDIR(st.st_mode)) {
      Error("OutputFilename", value, "is a folder");
      return;
    }
    const std::string folder = fs::DirName(target);
    if (files_.Stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
      Error("OutputFilename", value, "the folder \"" + folder + "\" does not exist");
    } else if (const int err = files_.Access(folder, W_OK | X_OK); err != 0) {
      Error("OutputFilename", value, "the folder \"" + folder + "\" is not writable: " + ErrnoText(err));
    }
  }

  void CheckInputFile(const IniPath& key) {
    ShowMapping(key);
    if (key.value.empty() || !Usable(key)) return;
    const std::string& path = key.path;
    struct stat st {};
    if (const int err = files_.Stat(path, &st); err != 0) {
      Error(key.key, key.value, err == ENOENT ? "does not exist" : "cannot be read: " + ErrnoText(err));
    } else if (!S_ISREG(st.st_mode)) {
      Error(key.key, key.value, "is not a regular file");
    } else if (const int denied = files_.Access(path, R_OK); denied != 0) {
      Error(key.key, key.value, "cannot be read: " + ErrnoText(denied));
    } else if (!IsUtf8File(path)) {
      // The database's texts arrive as UTF-8 and the file is copied as it
      // is, so the feed would mix two encodings.
      Warning(key.key, key.value,
              "is not UTF-8 text (Windows-1252, perhaps) while the database's texts are; it is copied as it "
              "is, so the feed would mix two encodings: save it as UTF-8");
    }
  }

  // True when the first 16 MiB of the file at `path` are UTF-8; only what
  // could be read counts.
  bool IsUtf8File(const std::string& path) {
    constexpr size_t kLimit = 16 << 20;
    std::string bytes(kLimit, '\0');
    size_t size = 0;
    fs::UniqueFd fd;
    if (files_.OpenForReading(path, &fd) == 0) {
      size_t n = 0;
      while (size < kLimit && files_.Read(fd.get(), bytes.data() + size, kLimit - size, &n) == 0 && n > 0)
        size += n;
    }
    bytes.resize(size);
    // A character cut at the limit is no fault of the file: drop its bytes.
    if (bytes.size() == kLimit) {
      while (!bytes.empty() && (static_cast<unsigned char>(bytes.back()) & 0xC0) == 0x80) bytes.pop_back();
      if (!bytes.empty() && static_cast<unsigned char>(bytes.back()) >= 0xC0) bytes.pop_back();
    }
    return text::IsValidUtf8(bytes);
  }

  void CheckConnectionString() {
    const std::string& cs = def_.m_strDestinationDBConnectString;
    const std::string problem = providers_.ConnectionStringProblem(cs);
    if (!problem.empty())
      Error("DestinationDBConnectString", ado::MaskPasswords(cs),
            "cannot be translated: " + problem);
  }

  // Prepares `sql`: true, with the result's columns, or false with why.
  bool Prepare(const std::string& sql, std::vector<std::string>* columns, std::string* reason) {
    std::vector<ado::ErrorEntry> errors;
    try {
      *columns = provider_->Prepare(sql, &errors);
      return true;
    } catch (const _com_error& e) {
      *reason = Reason(errors, e);
      return false;
    }
  }

  // A provider over an empty Org of the program's columns, for when the
  // source's own Org cannot be used; null when there is none.
  std::unique_ptr<ado::Provider> StandIn(const std::string& connection_string) {
    ado::TableShape org{"Org", {}};
    for (const OrgColumn& column : kOrgColumns) org.columns.emplace_back(column.name);
    std::vector<ado::ErrorEntry> errors;
    try {
      return providers_.OpenStandIn(connection_string, {org}, &errors);
    } catch (const _com_error&) {
      return nullptr;
    }
  }

  void CheckQuery() {
    const std::string cs = CSourceDatabase::ConnectionString(def_.m_strDataPath);
    const std::string& value = def_.m_DataPathKey.value;
    std::vector<ado::ErrorEntry> errors;
    if (Usable(def_.m_DataPathKey)) {
      try {
        provider_ = providers_.Open(cs, 30, {}, &errors);
      } catch (const _com_error& e) {
        Error("DataPath", value, "cannot be opened: " + Reason(errors, e));
      }
    }
    std::vector<std::string> columns;
    std::string reason;
    if (provider_) {
      if (!Prepare(CSourceDatabase::BuildQuery("ALL", {}), &columns, &reason)) {
        Error("DataPath", value, reason);
        provider_.reset();
      } else if (const std::string missing = CSourceDatabase::MissingOrgColumns(columns);
                 !missing.empty()) {
        Error("DataPath", value,
              "table Org has no column " + missing + "; the report would not be made");
      }
    }
    if (!provider_) {
      provider_ = StandIn(cs);
      if (!provider_) return;
      Line("", "(the query is checked against an empty table Org)");
    }
    std::string whole_reason;
    if (Prepare(CSourceDatabase::BuildQuery(def_.m_strWhere, def_.m_FieldInfoArray), &columns,
                &whole_reason))
      return;
    // Tell which key breaks it: the condition alone, then each sort field.
    bool named = false;
    if (!Prepare(CSourceDatabase::BuildQuery(def_.m_strWhere, {}), &columns, &reason)) {
      Error("Where", def_.m_strWhere, "the query does not compile: " + reason);
      named = true;
    }
    for (const FieldInfo& f : def_.m_FieldInfoArray) {
      if (!f.bSort || Prepare(CSourceDatabase::BuildQuery("ALL", {f}), &columns, &reason)) continue;
      std::string hint;
      if (f.strFieldName.find(' ') != std::string::npos && f.strFieldName.front() != '[')
        hint = " (a sort field whose name has a blank must be written in brackets)";
      Error(FieldKey(f), f.strFieldName, "as a sort key the query does not compile: " + reason + hint);
      named = true;
    }
    if (!named)
      Error("Where", def_.m_strWhere, "with the sort fields the query does not compile: " + whole_reason);
  }

  const CReportDefinition& def_;
  FileSystem& files_;
  ado::ProviderFactory& providers_;
  CheckResult* result_;
  int* problems_;
  std::unique_ptr<ado::Provider> provider_;
};

}  // namespace

CheckResult CheckReports(Env& env, FileSystem& files, ProfileStore& store, ado::ProviderFactory& providers,
                         const std::string& report, const MoreReportChecks& more) {
  CheckResult result;
  const std::string work_dir = env.CurrentDirectory();
  const std::string ini_file = CReportDefinition::IniFileIn(work_dir);
  struct stat st {};
  if (const int err = files.Stat(ini_file, &st); err != 0) {
    result.text = "error: " + ini_file + " cannot be read: " + ErrnoText(err) + "\n";
    result.status = 1;
    return result;
  }

  ReadOnlyStore read_only(store);
  CIni2 ini(&read_only);
  ini.SetFile(ini_file);
  ini.SetNoticeSink([&result](const std::string& text) { result.text += "warning: " + text + "\n"; });
  std::vector<std::string> names;
  for (const tagREPORT_INFO& entry : BuildSchedule(ini, report, env.NowSeconds())) {
    if (std::find(names.begin(), names.end(), entry.strReportName) == names.end())
      names.push_back(entry.strReportName);
  }
  result.text += ini_file + ": " + std::string(IniEncodingName(read_only.Encoding(ini_file))) + " text\n";
  if (names.empty()) {
    result.text += "error: no report is named and none is in [Report Schedule] of " + ini_file + "\n";
    result.status = 1;
    return result;
  }

  int problems = 0;
  for (const std::string& name : names) {
    CReportDefinition def(ini, env);
    def.m_strIniFile = ini_file;
    def.m_strWorkDir = work_dir;
    def.m_strReportName = name;
    result.text += "[" + name + "]\n";
    QuietHost host;
    if (!def.LoadReportDefinition(host)) {
      if (def.m_strOutput == "INVALID") {
        result.text += Finding("error", name, "Output", def.m_strOutput,
                               "the report would be refused (also the default of a report without "
                               "a section)");
      } else {
        // The working folder: the box's first line says why.
        result.text += "  error: [" + name + "] " + host.box().substr(0, host.box().find('\n')) + "\n";
      }
      ++problems;
      continue;
    }
    ReportCheck(def, files, providers, &result, &problems).Run();
    if (more) {
      more(def, [&](bool error, const std::string& key, const std::string& value, const std::string& what) {
        result.text += Finding(error ? "error" : "warning", name, key, value, what);
        if (error) ++problems;
      });
    }
  }
  result.text += ini_file + ": " + std::to_string(names.size()) +
                 (names.size() == 1 ? " report" : " reports") + " checked, " +
                 (problems == 0 ? "no problems" : std::to_string(problems) +
                                                      (problems == 1 ? " problem" : " problems")) +
                 "\n";
  result.status = problems == 0 ? 0 : 1;
  return result;
}

}  // namespace tavrin
