// The program: the main window driven by its timers until it closes, on the
// desktop when a display is present and the desktop front end is installed
// beside the program, headless otherwise (then no toolkit is ever loaded).
//
// Surviving the display. The toolkit ends the process when its display
// connection breaks (the session ends, the X server goes): no process that
// loaded it can go on after that. So:
// - headless, nothing can take the display away: the program runs here;
// - on the desktop without the service switch the display's loss ends the
//   program like any desktop program, but through our own exit hook: the log
//   says the display went away (and that a running job was abandoned), and
//   the exit status is the one of a closed program;
// - on the desktop with the service switch, TsvSurviver runs the desktop
//   program in a child process and stays here without any toolkit, passing
//   SIGTERM, SIGINT and SIGHUP on. When the child reports the display's loss
//   (its exit hook, in the toolkit's exit), this process goes on as the
//   headless program and starts the poll timer if the child's was on: the
//   job cycle goes on, the next job runs headless. A child killed before it
//   could report (the toolkit aborting as it starts) counts as the loss
//   when no display answers any more.
// A job cut off by the display's loss is abandoned, not finished: files are
// deleted only after their mail was accepted and the job ended, so every
// file not yet deleted is still in the poll directory for the next job.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "app/CommandLine.h"
#include "app/FrmMain.h"
#include "host/FrontEnd.h"
#include "host/ServiceHelper.h"
#include "host/Session.h"
#include "host/Surviver.h"
#include "platform/Application.h"
#include "platform/FileSystem.h"
#include "platform/MessageLoop.h"

namespace {

// A display answers and the desktop front end is installed.
bool DesktopAvailable() {
#ifdef PV_HAVE_QT
    return pv::DisplayPresent() && pv::FileExists(pv::AppDir() + pv::kFrontEndModule);
#else
    return false;
#endif
}

std::unique_ptr<pv::TFrontEnd> LoadDesktop([[maybe_unused]] int &argc,
                                           [[maybe_unused]] char **argv) {
#ifdef PV_HAVE_QT
    std::string error;
    auto frontEnd = pv::LoadFrontEnd(pv::AppDir() + pv::kFrontEndModule, argc, argv, error);
    if (!frontEnd)
        std::fprintf(stderr, "postvane: running without the desktop: %s\n", error.c_str());
    return frontEnd;
#else
    return nullptr;
#endif
}

void LogDisplayLoss(pv::TfrmMain &frmMain, bool goesOn) {
    const char *next = goesOn ? "going on headless" : "the program ends";
    frmMain.WriteLog(std::string("The display went away: ") + next, true);
    std::fprintf(stderr, "postvane: the display went away: %s\n", next);
}

// Runs inside the toolkit's exit when the display has gone.
pv::TDisplayLoss DisplayLost(pv::TfrmMain &frmMain, bool goesOn) {
    if (frmMain.TrayAnimated())
        frmMain.WriteLog("Job abandoned: its files stay in the poll directory", true);
    LogDisplayLoss(frmMain, goesOn);
    return pv::TDisplayLoss{frmMain.TrayIconIndex() == 1, frmMain.ExitStatus()};
}

int RunProgram(int &argc, char **argv, const pv::TSurvival &how) {
    std::unique_ptr<pv::TFrontEnd> frontEnd = how.Desktop ? LoadDesktop(argc, argv) : nullptr;
    pv::TApplication &app = pv::Application();
    app.ShowMainForm = false;
    app.Title = "Postvane";
    int status = 0;
    {
        pv::TfrmMain frmMain;
        pv::AttachConsole(frmMain);
        if (how.DisplayLost && !how.LossReported) // the toolkit died as it started
            LogDisplayLoss(frmMain, true);
        // The timer of the desktop run goes on here (with a fresh interval).
        if (how.DisplayLost && how.TimerOn && !frmMain.T1.Enabled() && !app.Terminated())
            frmMain.btnStartClick(&frmMain.btnStart);
        pv::SetSignalHandler([&frmMain](int signo) {
            if (signo == SIGHUP)
                pv::Session().End(true); // the session has ended
            else
                frmMain.HandleSignal(signo);
        });
        if (frontEnd) {
            pv::TsvSurviver::WatchDisplay(
                [&frmMain](bool goesOn) { return DisplayLost(frmMain, goesOn); });
            frontEnd->Run(app);
            pv::TsvSurviver::EndWatch();
        } else {
            app.Run();
        }
        pv::SetSignalHandler(nullptr);
        status = frmMain.ExitStatus();
    }
    frontEnd.reset();
    return status;
}

} // namespace

int main(int argc, char **argv) {
    // --help, --version, --set-password and a wrong command line end here,
    // before any toolkit is loaded.
    if (const std::optional<int> done = pv::HandleCommandLine(argc, argv))
        return *done;
    // Before any thread exists, so that only the loop ever sees them.
    pv::BlockTerminationSignals();
    pv::TsvSurviver surviver(pv::FindServiceSwitch(pv::ProgramArguments(), "service"));
    return surviver.Run(DesktopAvailable(),
                        [&](const pv::TSurvival &how) { return RunProgram(argc, argv, how); });
}
