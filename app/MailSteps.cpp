// The steps of a job between the file list and its end that the mail
// session, the packing step and the post-processing will fill in. Until then
// a job with pending files ends as a job without a mail session: nothing is
// packed, sent, backed up or deleted.
#include "app/FrmMain.h"

namespace pv {

// No ZIP library is built yet, so ZIP compression cannot be used.
bool TfrmMain::LoadZipLibrary() {
    return false;
}

void TfrmMain::UnloadZipLibrary() {}

void TfrmMain::ZipFiles() {}

void TfrmMain::PrepareAttachments() {}

void TfrmMain::BuildMessageText() {}

// No POP3 logon yet: an empty result lets the job go on.
std::string TfrmMain::Pop3Logon() {
    return "";
}

// No SMTP session yet: the job ends here through FinishJob, with the pending
// files left untouched for the next job.
void TfrmMain::StartSmtpSession() {
    FinishJob();
}

void TfrmMain::AbortMailSession() {}

void TfrmMain::BackupSentFiles() {}

void TfrmMain::DeleteSentFiles() {}

void TfrmMain::DeleteTempZips() {}

} // namespace pv
