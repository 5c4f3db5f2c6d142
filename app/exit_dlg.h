#ifndef TAVRIN_APP_EXIT_DLG_H_
#define TAVRIN_APP_EXIT_DLG_H_

#include <string>

#include "platform/window/window.h"

namespace tavrin {

// A message window that closes itself after a count-down shown in its
// caption, so an unattended program is never blocked by it for long.
// Runs on the thread that calls WindowServices::DoModal.
class CExitDlg : public Dialog {
 public:
  // Sets the message (line breaks as CR LF) and the count-down in seconds.
  void SetMessage(const std::string& message, int seconds) {
    m_strMessage = message;
    m_nSeconds = seconds;
  }

  int TemplateId() const override { return kTimedMessageTemplate; }
  void OnInitDialog(DialogHost& host) override;
  // Restarts the one-second period (not the count) and shows the message.
  void OnActivate(DialogHost& host) override;
  // One second of the count-down; ends the window at the last one.
  void OnTimer(DialogHost& host, int timer_id) override;

  int m_nSeconds = 0;
  int m_nElapsed = 0;
  std::string m_strMessage;
};

}  // namespace tavrin

#endif  // TAVRIN_APP_EXIT_DLG_H_
