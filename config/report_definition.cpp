#include "config/report_definition.h"

#include <array>
#include <ctime>
#include <utility>

#include "platform/text/ascii.h"

namespace tavrin {
namespace {

const char kBlank[] = "!BLANK!";
const char kInvalidOutput[] = "INVALID";

// strftime into text, empty when the text would need more than 127 characters.
std::string FormatTime(const char* format, const std::tm& when) {
  std::array<char, 128> buf{};
  const size_t n = std::strftime(buf.data(), buf.size(), format, &when);
  return std::string(buf.data(), n);
}

void ReplaceFirst(std::string& text, const std::string& marker, const std::string& with) {
  const size_t at = text.find(marker);
  if (at != std::string::npos) text.replace(at, marker.size(), with);
}

}  // namespace

std::string CReportDefinition::SubstituteHeading(const std::string& heading, const std::tm& when) {
  std::string out = heading;
  // The C library's strftime uses the C locale unless the program changed it,
  // which it never does, so month names and AM/PM are English.
  ReplaceFirst(out, "*DATE*", FormatTime("%B %d, %Y", when));
  ReplaceFirst(out, "*TIME*", FormatTime("%I:%M:%S %p", when));
  return out;
}

int CReportDefinition::ResolveDateStyle(const std::string& text, bool output_year_first) {
  int style = 0;
  if (text::EqualsIgnoreAsciiCase(text, "Old")) {
    style = 0;
  } else if (text::EqualsIgnoreAsciiCase(text, "YYYY/DD/MM")) {
    style = kYearDayMonth;
  } else if (text::EqualsIgnoreAsciiCase(text, "MM/DD/YYYY")) {
    style = kMonthDayYear;
  } else if (text::EqualsIgnoreAsciiCase(text, "Vibes") || text::EqualsIgnoreAsciiCase(text, "YYYY-MM-DD HH:MM:SS")) {
    style = kIsoDateTime;
  }
  if (style == 0) style = output_year_first ? kYearDayMonth : kMonthDayYear;
  return style;
}

std::string CReportDefinition::KeyNotice(const std::string& key, const std::string& value,
                                         const std::string& reason) const {
  return "[" + m_strReportName + "] " + key + " = \"" + value + "\": " + reason;
}

void CReportDefinition::NoticeRefusal(RunHost& host, const IniPath& path) const {
  if (!path.usable()) host.Notice(KeyNotice(path.key, path.value, path.refusal), Severity::kError);
}

IniPath CReportDefinition::SourceOf(const std::string& report) {
  const std::string value = m_Ini.GetString(report, "DataPath", DefaultDataPath(), m_strIniFile, false, false);
  return ResolveIniPath("DataPath", value, m_Ini.store(), m_strIniFile);
}

bool CReportDefinition::LoadReportDefinition(RunHost& host) {
  const std::tm now = env_.LocalNow();

  m_bOutputYearFirst = m_Ini.GetBool("TavrinReportGenerator", "Output-Year-First", false,
                                     m_strIniFile, true);

  m_Ini.SetFile(m_strIniFile);
  m_Ini.SetSection(m_strReportName);

  m_strWhere = m_Ini.GetString("Where", "ALL", true);
  m_strOutput = m_Ini.GetString("Output", kInvalidOutput, true);
  // A default built from the working folder that a value cannot hold would
  // be cut into the name of another file (and written back whole, to be cut
  // again at every start): the report is refused instead.
  const std::string output_default = m_strWorkDir + "/" + m_strReportName + "-Report.csv";
  const std::string data_default = DefaultDataPath();
  for (const auto& [key, default_value] :
       {std::pair{"OutputFilename", &output_default}, std::pair{"DataPath", &data_default}}) {
    if (default_value->size() > CIni2::kMaxValueBytes && !m_Ini.KeyPresent(key)) {
      host.MessageBox(std::string("The working folder is too long for the default of ") + key + ", \"" +
                          *default_value + "\", which is longer than " +
                          std::to_string(CIni2::kMaxValueBytes) +
                          " bytes.\nName the file in the INI or run the report from a shorter "
                          "folder.  The program will now exit.",
                      "", BoxStyle::kAppWarning);
      return false;
    }
  }
  // Paths are read as written and used as this machine needs them; the INI
  // keeps what it says.
  auto path_key = [this](const char* key, const std::string& default_value) {
    return ResolveIniPath(key, m_Ini.GetString(key, default_value, true), m_Ini.store(), m_strIniFile);
  };
  m_OutputFilenameKey = path_key("OutputFilename", output_default);
  m_strOutputFilename = m_OutputFilenameKey.path;
  m_HeaderFileKey = path_key("HeaderFile", "");
  m_strHeaderFile = m_HeaderFileKey.path;
  m_TrailerFileKey = path_key("TrailerFile", "");
  m_strTrailerFile = m_TrailerFileKey.path;
  m_strRecordDelimiterOpen = m_Ini.GetString("RecordDelimiterOpen", "<name>", true) + "\n";
  m_strRecordDelimiterClose = m_Ini.GetString("RecordDelimiterClose", "</name>", true) + "\n";
  m_Ini.GetString("XMLDateFormatComment",
                  "Possible Values Old, Vibes, YYYY/DD/MM, MM/DD/YYYY, YYYY-MM-DD HH:MM:SS", true);
  const std::string date_format = m_Ini.GetString("XMLDateFormat", "Old", true);
  // Not written back: sections keep exactly the keys they had, and partners
  // that parse the file as it always was see no change unless asked for.
  m_bXMLEscapeText = m_Ini.GetBool("XMLEscapeText", false, false);
  m_DataPathKey = path_key("DataPath", data_default);
  m_strDataPath = m_DataPathKey.path;
  m_strDestinationDBConnectString = m_Ini.GetString("DestinationDBConnectString", "NONE", true);

  m_nXMLDateFormat = ResolveDateStyle(date_format, m_bOutputYearFirst);

  m_FieldInfoArray.clear();
  for (int n = 1; n <= 24; ++n) {
    const std::string num = std::to_string(n);
    FieldInfo field;
    field.nNumber = n;
    field.strFieldName = m_Ini.GetString("ReportField" + num, kBlank, true);
    if (field.strFieldName == kBlank) continue;
    field.strXMLDelimiterOpen = m_Ini.GetString("ReportFieldXMLDelimiterOpen" + num, kBlank, true);
    if (field.strXMLDelimiterOpen == kBlank) field.strXMLDelimiterOpen = "<" + field.strFieldName + ">";
    field.strXMLDelimiterClose =
        m_Ini.GetString("ReportFieldXMLDelimiterClose" + num, kBlank, true);
    if (field.strXMLDelimiterClose == kBlank)
      field.strXMLDelimiterClose = "</" + field.strFieldName + ">";
    field.nLength = m_Ini.GetInt("ReportFieldLength" + num, 10, true);
    field.bSort = m_Ini.GetBool("ReportFieldSort" + num, false, true);
    field.bRepeat = m_Ini.GetBool("ReportFieldRepeat" + num, true, true);
    field.bStringValue = m_Ini.GetBool("ReportFieldStringValue" + num, true, true);
    m_FieldInfoArray.push_back(field);
  }

  if (text::EqualsIgnoreAsciiCase(m_strOutput, "HTML")) {
    m_strHtmlOpen = m_Ini.GetString("HtmlOpen", "<html>", true);
    m_strHtmlClose = m_Ini.GetString("HtmlClose", "</html>", true);
    m_strHtmlBodyOpen = m_Ini.GetString("HtmlBodyOpen", "<body bgcolor=\"#C0C0C0\">", true);
    m_strHtmlBodyClose = m_Ini.GetString("HtmlBodyClose", "</body>", true);
    m_strHtmlHeader = SubstituteHeading(
        m_Ini.GetString("HtmlHeader",
                        "<h2><font color=\"#FF0000\">On-Air report for *DATE* at *TIME* </font></h2>",
                        true),
        now);
    m_strHtmlCategoryOpen = m_Ini.GetString("HtmlCategoryOpen", "<h4><font color=\"#FF0000\"><u>", true);
    m_strHtmlCategoryClose = m_Ini.GetString("HtmlCategoryClose", "</u></font></h4>", true);
    m_strHtmlOrgStatusOpen = m_Ini.GetString("HtmlOrgStatusOpen", "<p><font color=\"#0000FF\">", true);
    m_strHtmlOrgStatusClose = m_Ini.GetString("HtmlOrgStatusClose", "</font></p>", true);
  }

  if (m_strOutput == kInvalidOutput) {
    host.MessageBox(
        "Either a non-existant report has been selected or no Output method has been\n"
        "configured.  The program will now exit.\n"
        "Valid output types are: SQLServer (internet), CSV (for reports) or Printer.",
        "", BoxStyle::kAppWarning);
    return false;
  }
  return true;
}

}  // namespace tavrin
