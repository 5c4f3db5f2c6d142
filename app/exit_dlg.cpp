#include "app/exit_dlg.h"

namespace tavrin {

void CExitDlg::OnInitDialog(DialogHost& host) {
  m_nElapsed = 0;
  host.SetCaption("Error!");
}

void CExitDlg::OnActivate(DialogHost& host) {
  host.SetTimer(1, 1000);
  host.SetControlText(kIdStatus, m_strMessage);
}

void CExitDlg::OnTimer(DialogHost& host, int /*timer_id*/) {
  ++m_nElapsed;
  host.SetCaption("Message will close in " + std::to_string(m_nSeconds - m_nElapsed) +
                  " seconds.");
  if (m_nElapsed >= m_nSeconds) host.EndDialog(kIdOk);
}

}  // namespace tavrin
