// POP3 before SMTP, until it is built: no POP3 logon is made.
#include "app/FrmMain.h"

namespace pv {

// An empty result lets the job go on to the SMTP session.
std::string TfrmMain::Pop3Logon() {
    return "";
}

} // namespace pv
