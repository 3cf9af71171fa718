// The program: the main window driven by its timers until it closes, on the
// desktop when a display is present and the desktop front end is installed
// beside the program, headless otherwise (then no toolkit is ever loaded).
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "app/CommandLine.h"
#include "app/FrmMain.h"
#include "host/FrontEnd.h"
#include "host/Session.h"
#include "platform/Application.h"
#include "platform/FileSystem.h"
#include "platform/MessageLoop.h"

namespace {

std::unique_ptr<pv::TFrontEnd> ChooseFrontEnd([[maybe_unused]] int &argc,
                                              [[maybe_unused]] char **argv) {
#ifdef PV_HAVE_QT
    if (!pv::DisplayPresent())
        return nullptr;
    std::string error;
    auto frontEnd = pv::LoadFrontEnd(pv::AppDir() + pv::kFrontEndModule, argc, argv, error);
    if (!frontEnd)
        std::fprintf(stderr, "postvane: running without the desktop: %s\n", error.c_str());
    return frontEnd;
#else
    return nullptr;
#endif
}

} // namespace

int main(int argc, char **argv) {
    // --help, --version, --set-password and a wrong command line end here,
    // before any toolkit is loaded.
    if (const std::optional<int> done = pv::HandleCommandLine(argc, argv))
        return *done;
    // Before any thread exists, so that only the loop ever sees them.
    pv::BlockTerminationSignals();
    std::unique_ptr<pv::TFrontEnd> frontEnd = ChooseFrontEnd(argc, argv);
    pv::TApplication &app = pv::Application();
    app.ShowMainForm = false;
    app.Title = "Postvane";
    int status = 0;
    {
        pv::TfrmMain frmMain;
        pv::AttachConsole(frmMain);
        pv::SetSignalHandler([&frmMain](int signo) {
            if (signo == SIGHUP)
                pv::Session().End(true); // the session has ended
            else
                frmMain.HandleSignal(signo);
        });
        if (frontEnd)
            frontEnd->Run(app);
        else
            app.Run();
        pv::SetSignalHandler(nullptr);
        status = frmMain.ExitStatus();
    }
    frontEnd.reset();
    return status;
}
