#include "output/xml_output.h"

#include <filesystem>
#include <fstream>

#include "output/field_values.h"
#include "platform/text/ascii.h"

namespace tavrin {

std::unique_ptr<XmlOutput> XmlOutput::Open(const CReportDefinition& def, RunHost& host) {
  std::unique_ptr<PublishedFile> file = OpenOutputFile(def, host);
  if (!file) return nullptr;
  if (!def.m_strHeaderFile.empty() && !CopyTextFile(def.m_strHeaderFile, *file))
    ShowOutputFailure(host, "Could not open " + def.m_strHeaderFile + " for reading");
  return std::make_unique<XmlOutput>(def, host, std::move(file));
}

void XmlOutput::WriteRecord(const tagORG_INFO& org) { WriteXmlRecord(*file_, def_, org); }

void XmlOutput::End(WalkEnd how) {
  const std::string& trailer = def_.m_strTrailerFile;
  if (how == WalkEnd::kComplete && !trailer.empty() && !CopyTextFile(trailer, *file_))
    ShowOutputFailure(host_, "Could not open " + trailer + " for reading");
  PublishOutputFile(*file_, host_);
}

void WriteXmlRecord(PublishedFile& file, const CReportDefinition& def, const tagORG_INFO& org) {
  std::string block = "    " + def.m_strRecordDelimiterOpen;
  for (const FieldInfo& field : def.m_FieldInfoArray) {
    const std::string value = GetFieldValue(field, org, def.m_nXMLDateFormat);
    block += "        ";
    block += field.strXMLDelimiterOpen;
    block += text::Trim(value);
    block += field.strXMLDelimiterClose;
    block += '\n';
  }
  block += "    ";
  block += def.m_strRecordDelimiterClose;
  file.Write(block);
}

bool CopyTextFile(const std::string& path, PublishedFile& out) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    // A line ended by CR LF loses the CR; a last line without a line feed
    // keeps all its bytes and gets a line end.
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    line += '\n';
    out.Write(line);
  }
  return true;
}

}  // namespace tavrin
