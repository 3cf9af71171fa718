// What a job came to, for those who started the program: the exit status
// that cron and systemd read, and the lines a terminal shows.
#include "app/FrmMain.h"
#include "platform/Profile.h"
#include "platform/Text.h"

#include "app/Settings.h"

#include <cstdio>

namespace pv {

namespace {

void PrintLine(const std::string &line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::string Heading() {
    return "Postvane " + LogTimeStamp() + " ";
}

} // namespace

std::string TfrmMain::StartLine() const {
    const std::string unit = ComboTime.Text();
    const std::string every = IntToStr(spinPollMin.Value()) + (unit == "S"   ? " second(s)"
                                                               : unit == "H" ? " hour(s)"
                                                                             : " minute(s)");
    const std::string where = Trim(edPollDir.Text()) + " (" + Trim(edExtensions.Text()) + ")";
    std::string what;
    if (cboxRunOnce.Checked())
        what = "runs one job on " + where + " in " + every + ", then exits";
    else if (T1.Enabled())
        what = "polls " + where + " every " + every + ", timer on";
    else
        what = "timer off: no job runs until the timer is started (StartInTimerMode=1 or "
               "RunOnceExit=1 in " +
               iniFile_ + "); poll directory " + where;
    const std::string log = cboxLogging.Checked() ? "log " + LogFileName() : "log off";
    return std::string("Postvane ") + kVersion + " " + what + "; " + log +
           ". Ctrl+C or SIGTERM stops it.";
}

int TfrmMain::JobOutcome() const {
    if (!job_.PollDirError.empty())
        return 2;
    for (const auto &row : tblFiles.Rows())
        if (!row.IsSent())
            return 1;
    return 0;
}

std::vector<std::string> TfrmMain::JobResultLines() const {
    const int outcome = JobOutcome();
    // Mailed, whatever happened to the copy afterwards.
    int sent = 0;
    for (const auto &row : tblFiles.Rows())
        sent += row.Sent ? 1 : 0;
    const int failed = static_cast<int>(tblFiles.RecordCount()) - sent;
    std::string summary;
    if (!job_.PollDirError.empty())
        summary = job_.PollDirError;
    else if (tblFiles.IsEmpty())
        summary = job_.ResultText.empty() ? "Nothing to do" : job_.ResultText;
    else
        summary = IntToStr(sent) + " File(s) sent" +
                  (failed > 0 ? ", " + IntToStr(failed) + " File(s) failed." : ".");
    std::vector<std::string> lines = {Heading() + (outcome == 0 ? "job done: " : "job failed: ") +
                                      summary};
    // A file that never got an error of its own shares the session's.
    const std::string sessionError =
        sent == 0 && !job_.ResultText.empty() ? job_.ResultText : "not sent";
    for (const auto &row : tblFiles.Rows())
        if (!row.IsSent())
            lines.push_back("\t" + row.FileName + " - " +
                            (row.Error.empty() ? sessionError : row.Error));

    if (outcome == 1 && settings_.AuthMode == 2) {
        const std::string missing = "\x01";
        const std::string stored = GetPrivateProfileString("SETUP", "Password", missing, iniFile_);
        if (stored == missing)
            lines.push_back("Hint: " + iniFile_ + " holds no Password; store it with " + ExeName() +
                            " --set-password");
        else if (LooksUnscrambled(stored))
            lines.push_back("Hint: the Password in " + iniFile_ +
                            " looks as if it were written in clear text, but the file keeps it "
                            "scrambled; store it with " +
                            ExeName() + " --set-password");
    }
    return lines;
}

void TfrmMain::ReportJob() {
    lastOutcome_ = JobOutcome();
    // A run-once program that failed says so even without a terminal: cron
    // mails it to the administrator, the journal keeps it.
    if (ConsoleEcho || (cboxRunOnce.Checked() && *lastOutcome_ != 0))
        for (const std::string &line : JobResultLines())
            PrintLine(line);
}

void TfrmMain::ReportUnfinishedJob() {
    if (!cboxRunOnce.Checked() || lastOutcome_ || failed_)
        return;
    PrintLine(Heading() + "job failed: " +
              (job_.Busy ? "closed while the job ran; files the server did not accept stay in "
                           "the poll directory"
                         : "closed before the job ran"));
}

int TfrmMain::ExitStatus() const {
    if (failed_)
        return 2;
    if (!cboxRunOnce.Checked())
        return 0;
    return lastOutcome_.value_or(1);
}

} // namespace pv
