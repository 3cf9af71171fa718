// The program: a headless main window driven by its timers until it closes.
#include "app/FrmMain.h"
#include "platform/Application.h"
#include "platform/MessageLoop.h"

int main() {
    // Before any thread exists, so that only the loop ever sees them.
    pv::BlockTerminationSignals();
    pv::TApplication &app = pv::Application();
    app.ShowMainForm = false;
    app.Title = "Postvane";
    int status = 0;
    {
        pv::TfrmMain frmMain;
        pv::SetSignalHandler([&frmMain](int signo) { frmMain.HandleSignal(signo); });
        app.Run();
        pv::SetSignalHandler(nullptr);
        status = frmMain.Failed() ? 1 : 0;
    }
    return status;
}
