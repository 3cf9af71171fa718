#include "app/FrmMain.h"
#include "platform/Dialogs.h"

namespace pv {

void TfrmMain::OpenLog() {
    const std::string path = LogFileName();
    if (!FileExists(path)) {
        TFileStream created(path, fmCreateNew | fmShareExclusive);
    }
    // Others may read the log while it is written, but not write it.
    logStream_ = std::make_unique<TFileStream>(path, fmOpenReadWrite | fmShareDenyWrite);
    logStream_->Seek(0, soFromEnd);
}

void TfrmMain::CloseLog() {
    logStream_.reset();
}

void TfrmMain::WriteLog(const std::string &text, bool stamped) {
    if (!cboxLogging.Checked() || !logStream_)
        return;
    std::string line = stamped ? LogTimeStamp() + " " + text : text;
    line += "\r\n";
    logStream_->Seek(0, soFromEnd);
    logStream_->Write(line);
}

void TfrmMain::btnLogClick(TObject *) {
    ShellOpen(LogFileName());
}

} // namespace pv
