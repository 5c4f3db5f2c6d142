#include "output/html_output.h"

#include "platform/text/markup.h"

namespace tavrin {
namespace {

// A text from the database as page text: it must never become markup.
std::string PageText(const std::string& text) {
  return text::EscapeMarkup(text, text::MarkupEscape::kHtmlText);
}

}  // namespace

std::unique_ptr<HtmlOutput> HtmlOutput::Open(const CReportDefinition& def, RunHost& host, FileSystem& files) {
  std::unique_ptr<PublishedFile> file = StartOutputFile(def, host, files, [&] {
    host.StandardOutput("Can't open output file: " + def.m_strOutputFilename);
    host.RecordFailure();
  });
  if (!file) return nullptr;
  file->Write(def.m_strHtmlOpen + "\n");
  file->Write(def.m_strHtmlBodyOpen + "\n");
  file->Write(def.m_strHtmlHeader + "\n");
  return std::make_unique<HtmlOutput>(def, host, std::move(file));
}

void HtmlOutput::WriteRecord(const tagORG_INFO& org) {
  // Byte for byte: headings follow the query's order, so a category that
  // comes back, or differs only in letter case, gets a heading again.
  if (org.strCategory != previous_category_) {
    file_->Write(def_.m_strHtmlCategoryOpen + PageText(org.strCategory) + def_.m_strHtmlCategoryClose +
                 "\n");
    previous_category_ = org.strCategory;
  }
  file_->Write(def_.m_strHtmlOrgStatusOpen + PageText(org.strOrganizationName) + " is " +
               PageText(org.strStatus) + def_.m_strHtmlOrgStatusClose + "\n");
  any_record_ = true;
}

void HtmlOutput::End(WalkEnd how) {
  if (how == WalkEnd::kStopped) {
    DiscardStopped();
    return;
  }
  const bool complete = how == WalkEnd::kComplete;
  if (complete) {
    if (!any_record_) file_->Write("<BR>\n<BR>\nThere are no schools currently closed.\n<BR>\n<BR>\n");
    file_->Write(def_.m_strHtmlBodyClose + "\n");
    file_->Write(def_.m_strHtmlClose + "\n");
  }
  if (!file_->Publish()) {
    host_.StandardOutput("Can't write output file: " + def_.m_strOutputFilename + "\n");
    host_.RecordFailure();
    return;
  }
  if (complete) host_.StandardOutput("Completed successfully.\n");
}

}  // namespace tavrin
