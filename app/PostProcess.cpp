// What happens to sent files: archive bit cleared after each accepted mail,
// then at the end of the job a backup copy and the deletion; and the removal
// of the job's temporary archives.
//
// A writer on Linux does not lock the file it writes, so a file may change
// after its mail was built. Each row remembers the file's size and
// modification time as the mail carried it; only that content is unmarked,
// and a file that differs from it is not deleted.
#include "app/FrmMain.h"
#include "app/Settings.h"
#include "platform/Text.h"

namespace pv {

namespace {

bool Unchanged(const TFilesTable::Record &row) {
    TFileStamp now;
    return row.Stamp && GetFileStamp(row.FileName, now) && now == *row.Stamp;
}

} // namespace

std::string UniqueFileName(const std::string &path, const std::string &extension) {
    const std::size_t keep = path.size() >= extension.size() ? path.size() - extension.size() : 0;
    const std::string base = path.substr(0, keep);
    std::string candidate = base + extension;
    for (int n = 1; FileExists(candidate) || DirectoryExists(candidate); ++n)
        candidate = base + "[" + IntToStr(n) + "]" + extension;
    return candidate;
}

void TfrmMain::ClearArchiveBits() {
    if (!cboxArchive.Checked())
        return;
    auto clear = [](const TFilesTable::Record &row) {
        // A file whose attachment could not be read was not sent, even when
        // its mail was: it stays selected.
        if (!row.IsSent() || !row.Stamp)
            return;
        if (GetFileAttributes(row.FileName) == INVALID_FILE_ATTRIBUTES)
            return; // gone meanwhile
        // Records the content that was sent; a file changed since keeps its bit.
        ClearArchiveBit(row.FileName, *row.Stamp);
    };
    if (cboxSingleFilePerMail.Checked()) {
        clear(tblFiles.Current());
        return;
    }
    for (const auto &row : tblFiles.Rows())
        clear(row);
}

void TfrmMain::BackupSentFiles() {
    if (!cboxBackup.Checked())
        return;
    const std::string dir = Trim(edPollDir.Text());
    if (dir.empty())
        return; // nothing can have been sent from nowhere
    if (!IsDirectory(dir))
        CreateDirPath(dir);
    std::string backup = AddBackslash(dir) + "Backup";
    // When it cannot be made, the copies below fail one by one.
    CreateDirPath(backup);
    backup = AddBackslash(backup);
    // A copy cut short (the program killed) left its temporary file here.
    RemoveAtomicLeftovers(backup);

    bool first = true;
    for (tblFiles.First(); !tblFiles.Eof(); tblFiles.Next()) {
        const auto &row = tblFiles.Current();
        if (!row.IsSent())
            continue;
        if (first) {
            first = false;
            ShowStatus("Copy files to " + backup);
            WriteLog("! Copy files to " + backup, true);
        }
        const std::string source = row.FileName;
        const std::string target =
            UniqueFileName(backup + ExtractFileName(source), ExtractFileExt(source));
        if (CopyFile(source, target, true)) {
            if (cboxVerbose.Checked())
                WriteLog("! " + ExtractFileName(source) + "->" + ExtractFileName(target), true);
        } else {
            tblFiles.Edit();
            tblFiles.FieldByName("Error").SetAsString("Error copy file to backup");
            tblFiles.Post();
        }
    }
}

void TfrmMain::DeleteSentFiles() {
    if (!cboxDelete.Checked())
        return;
    bool first = true;
    for (const auto &row : tblFiles.Rows()) {
        if (!row.IsSent())
            continue;
        if (first) {
            first = false;
            ShowStatus("Deleting Files");
            WriteLog("! Deleting Files", true);
        }
        // A file written to since its mail was built holds what nobody got.
        const bool deleted = Unchanged(row) && DeleteFile(row.FileName);
        if (cboxVerbose.Checked())
            WriteLog(deleted ? "! Delete-> " + row.FileName : "! Error delete->  " + row.FileName,
                     true);
    }
}

void TfrmMain::DeleteTempZips() {
    for (const auto &row : tblFiles.Rows())
        if (!row.ZFileName.empty() && FileExists(row.ZFileName))
            DeleteFile(row.ZFileName);
}

} // namespace pv
