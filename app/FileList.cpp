// The file list of a job: the poll-directory scan that fills it, with its
// name matcher and open test, and the routines that find the files still to
// send.
#include "app/FileList.h"

#include "app/FrmMain.h"
#include "app/Settings.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

#include <set>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {

// Why the scan leaves an entry out, "" when it may be selected; looked at
// without following a link. A link leads out of the poll directory, to
// whatever its maker chose. In a shared directory a file of another user, or
// a second name of a file kept elsewhere, is not ours to mail or delete.
std::string LeftOutBecause(const std::string &path, bool shared) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return ""; // vanished: the open test says so
    if (S_ISLNK(st.st_mode))
        return "symbolic link";
    if (shared && st.st_uid != geteuid())
        return "file of another user in a shared directory";
    if (shared && st.st_nlink > 1)
        return "file with more than one link in a shared directory";
    return "";
}

// The selection split at ";": every piece before a ";" counts, even empty;
// the piece after the last ";" only when it holds something.
std::vector<std::string> SplitSelection(const std::string &selection) {
    std::vector<std::string> patterns;
    std::size_t start = 0;
    for (;;) {
        std::size_t semi = selection.find(';', start);
        std::string piece = UpperCase(Trim(selection.substr(start, semi - start)));
        if (semi == std::string::npos) {
            if (!piece.empty())
                patterns.push_back(piece);
            return patterns;
        }
        patterns.push_back(piece);
        start = semi + 1;
    }
}

} // namespace

// Anyone who may write there can put in a file, or a link to one, for this
// program to mail.
bool OthersMayWrite(const std::string &dir) {
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool MatchWildcard(const std::string &pattern, const std::string &name) {
    return MatchesWildcard(pattern, name);
}

std::string CheckFileOpen(const std::string &path) {
    // Sharing everything takes no lock at all, so it would not notice a
    // holder that keeps the file to itself; a shared lock does.
    // A link put in place of the file since the scan looked is not followed.
    int fd = FileOpen(path, fmOpenRead | fmShareDenyWrite | fmNoFollow);
    if (fd < 0)
        return LastErrorText();
    FileClose(fd);
    return "";
}

void TfrmMain::ScanPollDir() {
    std::string dir = Trim(edPollDir.Text());
    if (dir.empty()) {
        // Rows of an earlier job must not be taken for this one's.
        tblFiles.EmptyTable();
        WriteLog("! No poll directory set", true);
        job_.PollDirError = "No poll directory set";
        return;
    }
    if (FileExists(dir)) {
        const std::string name = ExtractFileName(dir);
        const std::string selection = Trim(edExtensions.Text());
        if (selection.empty())
            edExtensions.SetText(name);
        else if (selection.back() == ';')
            edExtensions.SetText(selection + name);
        else
            edExtensions.SetText(selection + ";" + name);
        dir = ExtractFilePath(dir);
    }
    if (!IsDirectory(dir)) {
        tblFiles.EmptyTable();
        WriteLog("! Poll directory not found: " + dir, true);
        job_.PollDirError = "Poll directory not found: " + dir;
        return;
    }
    edPollDir.SetText(dir);
    dir = AddBackslash(dir);

    const std::vector<std::string> patterns = SplitSelection(Trim(edExtensions.Text()));
    const bool shared = OthersMayWrite(dir);
    std::set<std::string> leftOut; // said once, whatever number of patterns match
    tblFiles.EmptyTable();
    for (const std::string &pattern : patterns) {
        for (const TSearchRec &entry : FindFiles(dir, pattern)) {
            if (app_.Terminated())
                break;
            if (!MatchWildcard(pattern, entry.Name))
                continue;
            if (const std::string why = LeftOutBecause(dir + entry.Name, shared); !why.empty()) {
                if (leftOut.insert(entry.Name).second && cboxVerbose.Checked())
                    WriteLog("! Skipped " + why + ": " + dir + entry.Name, true);
                continue;
            }
            if (cboxArchive.Checked() && !(entry.Attr & FILE_ATTRIBUTE_ARCHIVE))
                continue;
            const std::string path = (dir + entry.Name).substr(0, TFilesTable::FileNameSize);
            if (tblFiles.Locate("FileName", path))
                continue;
            const std::string error = CheckFileOpen(dir + entry.Name);
            tblFiles.Append();
            tblFiles.FieldByName("FileName").SetAsString(dir + entry.Name);
            tblFiles.FieldByName("Error").SetAsString(error);
            tblFiles.Post();
        }
    }
}

bool TfrmMain::NextPendingFile() {
    for (; !tblFiles.Eof(); tblFiles.Next())
        if (tblFiles.Current().Pending())
            return true;
    return false;
}

int TfrmMain::PendingCount() const {
    int count = 0;
    for (const auto &row : tblFiles.Rows())
        count += row.Pending() ? 1 : 0;
    return count;
}

int TfrmMain::SentCount() const {
    int count = 0;
    for (const auto &row : tblFiles.Rows())
        count += row.IsSent() ? 1 : 0;
    return count;
}

} // namespace pv
