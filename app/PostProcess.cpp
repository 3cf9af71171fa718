// What happens to sent files: archive bit cleared after each accepted mail,
// then at the end of the job a backup copy and the deletion; and the removal
// of the job's temporary archives.
//
// A writer on Linux does not lock the file it writes, so a file may change
// after its mail was built. Each row remembers the file's size and
// modification time as the mail carried it; only that content is unmarked,
// and a file that differs from it is not deleted.
//
// Nothing here follows a symbolic link: a file replaced by a link since the
// scan is neither unmarked, copied nor deleted, and the copies never leave
// the poll directory through a link named Backup.
#include "app/FileList.h"
#include "app/FrmMain.h"
#include "app/Settings.h"
#include "platform/Text.h"

#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {

bool Unchanged(const TFilesTable::Record &row) {
    TFileStamp now;
    return row.Stamp && GetFileStamp(row.FileName, now) && now == *row.Stamp;
}

bool IsLink(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Why the copies cannot go into backup (without trailing "/"), "" when they
// can. In a shared poll directory a Backup that another user made is theirs
// to empty, and with it the only copy of a deleted file.
std::string BackupRefused(const std::string &backup, bool shared) {
    struct stat st;
    if (lstat(backup.c_str(), &st) != 0)
        return ""; // the copies give the reason
    if (S_ISLNK(st.st_mode))
        return "Backup directory is a symbolic link";
    if (shared && st.st_uid != geteuid())
        return "Backup directory belongs to another user";
    return "";
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
        if (!row.IsSent() || !row.Stamp || IsLink(row.FileName))
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
    const std::string refused = BackupRefused(backup, OthersMayWrite(dir));
    if (refused.empty()) {
        const bool existed = IsDirectory(backup);
        // When it cannot be made, the copies below fail one by one.
        if (CreateDirPath(backup) && !existed)
            SyncDirectoryEntries(dir); // a new Backup survives a crash with its copies
        // Copies a killed job left half-written under a temporary name.
        if (const int removed = RemoveAtomicLeftovers(backup); removed > 0)
            WriteLog("! Unfinished copies removed from " + backup + ": " + IntToStr(removed), true);
    }
    backup = AddBackslash(backup);

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
        std::string reason = refused;
        if (reason.empty()) {
            const std::string target =
                UniqueFileName(backup + ExtractFileName(source), ExtractFileExt(source));
            // Complete and synced under its name, or not there at all.
            if (CopyFile(source, target, true, false)) {
                tblFiles.SetBackedUp();
                if (cboxVerbose.Checked())
                    WriteLog("! " + ExtractFileName(source) + "->" + ExtractFileName(target), true);
                continue;
            }
            reason = LastErrorText();
        }
        // Said always: the file stays and is mailed again by the next job.
        WriteLog("! Error copy file to backup: " + source + " - " + reason, true);
        tblFiles.Edit();
        tblFiles.FieldByName("Error").SetAsString("Error copy file to backup");
        tblFiles.Post();
    }
}

void TfrmMain::DeleteSentFiles() {
    if (!cboxDelete.Checked())
        return;
    const bool backup = cboxBackup.Checked();
    bool first = true;
    for (const auto &row : tblFiles.Rows()) {
        if (!row.IsSent())
            continue;
        if (first) {
            first = false;
            ShowStatus("Deleting Files");
            WriteLog("! Deleting Files", true);
        }
        // A file goes only when its copy is safe in Backup (with Backup on),
        // and only as it was mailed: a file written to since holds what
        // nobody got, a link put in its place is not the file.
        const bool deleted = (!backup || row.BackedUp) && !IsLink(row.FileName) && Unchanged(row) &&
                             DeleteFile(row.FileName);
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
