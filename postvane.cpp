// The program: a headless main window driven by its timers until it closes.
#include "app/CommandLine.h"
#include "app/FrmMain.h"
#include "platform/Application.h"
#include "platform/MessageLoop.h"

int main(int argc, char **argv) {
    // --help, --version, --set-password and a wrong command line end here.
    if (const std::optional<int> done = pv::HandleCommandLine(argc, argv))
        return *done;
    // Before any thread exists, so that only the loop ever sees them.
    pv::BlockTerminationSignals();
    pv::TApplication &app = pv::Application();
    app.ShowMainForm = false;
    app.Title = "Postvane";
    int status = 0;
    {
        pv::TfrmMain frmMain;
        pv::AttachConsole(frmMain);
        pv::SetSignalHandler([&frmMain](int signo) { frmMain.HandleSignal(signo); });
        app.Run();
        pv::SetSignalHandler(nullptr);
        status = frmMain.ExitStatus();
    }
    return status;
}
