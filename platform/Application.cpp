#include "platform/Application.h"

#include "platform/MessageLoop.h"

#include <cstdio>

namespace pv {

void TApplication::Terminate() {
    terminated_ = true;
    PostQuitMessage(0);
}

// One message, with every exception from its handler (or from an fd callback
// run while looking for it) sent to HandleException. A WM_QUIT posted to a
// window belongs to the nested loop that waits for it, never to these loops:
// it is passed to its window instead of ending the application.
bool TApplication::Dispatch(bool wait) {
    try {
        MSG msg;
        if (wait)
            GetMessage(msg);
        else if (!PeekMessage(msg, true))
            return false;
        if (msg.message == WM_QUIT && msg.hwnd == 0)
            terminated_ = true;
        else
            DispatchMessage(msg);
    } catch (...) {
        HandleCurrentException();
    }
    return true;
}

void TApplication::ProcessMessages() {
    while (Dispatch(false)) {
    }
}

void TApplication::HandleMessage() {
    Dispatch(true);
}

void TApplication::Run() {
    while (!Terminated())
        Dispatch(true);
}

void TApplication::HandleCurrentException() {
    try {
        throw;
    } catch (const Exception &e) {
        HandleException(this, e);
    } catch (const std::exception &e) {
        HandleException(this, Exception(e.what()));
    } catch (...) {
        HandleException(this, Exception("Unknown exception"));
    }
}

void TApplication::HandleException(TObject *Sender, const Exception &E) {
    if (dynamic_cast<const EAbort *>(&E))
        return;
    if (!OnException) {
        std::fprintf(stderr, "%s: %s\n", E.ClassName(), E.what());
        return;
    }
    try {
        OnException(Sender, E);
    } catch (const EAbort &) {
    } catch (const std::exception &e) {
        // Nothing is left to report it to; the loop must go on.
        std::fprintf(stderr, "exception in the exception handler: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "exception in the exception handler\n");
    }
}

TApplication &Application() {
    static TApplication application;
    return application;
}

} // namespace pv
