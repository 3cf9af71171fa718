// The process-wide application object: the main message loop and the
// application-wide exception handler.
#pragma once

#include "platform/Object.h"

#include <atomic>
#include <exception>
#include <functional>
#include <string>

namespace pv {

class TApplication : public TObject {
  public:
    std::string Title;
    bool ShowMainForm = true;
    // Receives every exception that escapes a handler run by the loops below.
    // Without it the exception's class and message go to stderr.
    std::function<void(TObject *Sender, const Exception &E)> OnException;

    // Set by Terminate() or when one of the loops below takes the thread's
    // quit message. Other threads may read it.
    bool Terminated() const { return terminated_; }
    void Terminate();

    // Dispatches everything pending without waiting.
    void ProcessMessages();
    // Waits for one message and dispatches it.
    void HandleMessage();
    // Dispatches until Terminated.
    void Run();

    // EAbort is the silent cancel and is not reported.
    void HandleException(TObject *Sender, const Exception &E);

  private:
    bool Dispatch(bool wait);
    void HandleCurrentException();

    std::atomic<bool> terminated_{false};
};

TApplication &Application();

} // namespace pv
