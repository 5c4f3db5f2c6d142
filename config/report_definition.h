#ifndef TAVRIN_CONFIG_REPORT_DEFINITION_H_
#define TAVRIN_CONFIG_REPORT_DEFINITION_H_

#include <string>
#include <vector>

#include "config/ini2.h"
#include "config/windows_path.h"
#include "platform/env/env.h"
#include "run/run_host.h"

namespace tavrin {

// One field of a report, from the keys "ReportField%d" and companions.
struct FieldInfo {
  int nNumber = 0;  // the n of its key "ReportField%d"
  std::string strFieldName;
  int nLength = 10;
  bool bSort = false;
  bool bRepeat = true;
  bool bStringValue = true;
  std::string strXMLDelimiterOpen;
  std::string strXMLDelimiterClose;
};

// Date styles of the two date fields.
enum DateStyle { kYearDayMonth = 1, kMonthDayYear = 2, kIsoDateTime = 3 };

// The report definition: a report's INI section read into members that every
// later step of a run reads. The main dialog sets m_strIniFile, m_strWorkDir
// and m_strReportName before each load. Used by the run thread only.
class CReportDefinition {
 public:
  // `ini` and `env` must outlive the object.
  CReportDefinition(CIni2& ini, Env& env) : m_Ini(ini), env_(env) {}

  // Reads the report's section (every missing key written back with its
  // default) into the members below. Returns false after refusing with a
  // box through `host` the output kind "INVALID", or a working folder too
  // long for the default of a missing OutputFilename or DataPath to fit in
  // a value: the program is to end.
  bool LoadReportDefinition(RunHost& host);

  // The source database of report `report` as a load resolves its
  // "DataPath" (the default in m_strWorkDir, the [Path Mapping] of
  // m_strIniFile), read without writing anything back, the key when it is
  // missing included.
  IniPath SourceOf(const std::string& report);

  // Set by the main dialog before the load.
  std::string m_strIniFile;
  std::string m_strWorkDir;
  std::string m_strReportName;

  // Filled by the load.
  bool m_bOutputYearFirst = false;
  std::string m_strWhere;
  std::string m_strOutput;
  std::string m_strOutputFilename;
  std::string m_strHeaderFile;
  std::string m_strTrailerFile;
  std::string m_strRecordDelimiterOpen;   // with a line feed appended
  std::string m_strRecordDelimiterClose;  // with a line feed appended
  int m_nXMLDateFormat = kMonthDayYear;
  bool m_bXMLEscapeText = false;  // "&", "<" and ">" in the XML-like file's texts escaped
  std::string m_strDataPath;
  std::string m_strDestinationDBConnectString;
  // The keys that hold paths, as written and as used: m_strOutputFilename,
  // m_strHeaderFile, m_strTrailerFile and m_strDataPath are their `path`s.
  // A step that opens one refuses it first when it is not usable.
  IniPath m_OutputFilenameKey;
  IniPath m_HeaderFileKey;
  IniPath m_TrailerFileKey;
  IniPath m_DataPathKey;
  std::vector<FieldInfo> m_FieldInfoArray;
  std::string m_strHtmlOpen;
  std::string m_strHtmlClose;
  std::string m_strHtmlBodyOpen;
  std::string m_strHtmlBodyClose;
  std::string m_strHtmlHeader;  // date and time markers replaced
  std::string m_strHtmlCategoryOpen;
  std::string m_strHtmlCategoryClose;
  std::string m_strHtmlOrgStatusOpen;
  std::string m_strHtmlOrgStatusClose;

  CIni2& m_Ini;

  // The heading with the first "*DATE*" and then the first "*TIME*"
  // replaced by `when` formatted "%B %d, %Y" and "%I:%M:%S %p" (C locale).
  static std::string SubstituteHeading(const std::string& heading, const std::tm& when);

  // The INI file of the program started in folder `work_dir`.
  static std::string IniFileIn(const std::string& work_dir) { return work_dir + "/TavrinReport.ini"; }

  // The notice that follows a failure's box and status in the log, naming
  // the INI key behind it: `[<report>] <key> = "<value>": <reason>`.
  std::string KeyNotice(const std::string& key, const std::string& value, const std::string& reason) const;

  // The value of the path key `key` (one of the m_...Key members) as the INI
  // has it, for messages; `path`, the member used, for a definition filled
  // in without an INI.
  static const std::string& WrittenValue(const IniPath& key, const std::string& path) {
    return key.key.empty() ? path : key.value;
  }

  // What follows the failure of a step that refused `path` because it is not
  // usable: the notice of KeyNotice with the reason, at error priority.
  // Nothing when `path` is usable.
  void NoticeRefusal(RunHost& host, const IniPath& path) const;

  // The date style of an "XMLDateFormat" text.
  static int ResolveDateStyle(const std::string& text, bool output_year_first);

 private:
  // The "DataPath" of a report that has none: Vesk.mdb in the working folder.
  std::string DefaultDataPath() const { return m_strWorkDir + "/Vesk.mdb"; }

  Env& env_;
};

}  // namespace tavrin

#endif  // TAVRIN_CONFIG_REPORT_DEFINITION_H_
