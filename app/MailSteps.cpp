// The packing step and POP3 before SMTP, until they are built: without a ZIP
// library ZIP compression cannot be used, and no POP3 logon is made.
#include "app/FrmMain.h"

namespace pv {

bool TfrmMain::LoadZipLibrary() {
    return false;
}

void TfrmMain::UnloadZipLibrary() {}

void TfrmMain::ZipFiles() {}

// An empty result lets the job go on to the SMTP session.
std::string TfrmMain::Pop3Logon() {
    return "";
}

} // namespace pv
