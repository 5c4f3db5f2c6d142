#include "output/report_generator.h"

namespace tavrin {

void CReportGenerator::WriteHtmlPage() {
  const std::unique_ptr<PublishedFile> file = PublishedFile::Create(def_.m_strOutputFilename);
  if (!file) {
    host_.StandardOutput("Can't open output file: " + def_.m_strOutputFilename);
    host_.ReportFailure();
    return;
  }
  // Publishes the page as far as it got; a page that cannot be put in place
  // is a failed step.
  const auto publish = [&]() {
    if (file->Publish()) return true;
    host_.StandardOutput("Can't write output file: " + def_.m_strOutputFilename + "\n");
    host_.ReportFailure();
    return false;
  };

  file->Write(def_.m_strHtmlOpen + "\n");
  file->Write(def_.m_strHtmlBodyOpen + "\n");
  file->Write(def_.m_strHtmlHeader + "\n");

  const int32_t count = org_db_.GetRecordCount();
  std::string previous_category;
  tagORG_INFO org;
  for (int32_t i = 0; i < count; ++i) {
    if (host_.StopRequested() || !(i == 0 ? org_db_.GetFirstOrg(org) : org_db_.GetNextOrg(org))) {
      publish();
      return;
    }
    // Byte for byte: headings follow the query's order, so a category that
    // comes back, or differs only in letter case, gets a heading again.
    if (org.strCategory != previous_category) {
      file->Write(def_.m_strHtmlCategoryOpen + org.strCategory + def_.m_strHtmlCategoryClose + "\n");
      previous_category = org.strCategory;
    }
    file->Write(def_.m_strHtmlOrgStatusOpen + org.strOrganizationName + " is " + org.strStatus +
                def_.m_strHtmlOrgStatusClose + "\n");
  }
  if (count <= 0) file->Write("<BR>\n<BR>\nThere are no schools currently closed.\n<BR>\n<BR>\n");
  file->Write(def_.m_strHtmlBodyClose + "\n");
  file->Write(def_.m_strHtmlClose + "\n");
  if (publish()) host_.StandardOutput("Completed successfully.\n");
}

}  // namespace tavrin
