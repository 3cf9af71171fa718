// TWaitThread: watches for a notification area and reports, by messages
// posted to the service helper's window, every time one appears
// (WM_TRAY_CREATED) or goes away (WM_TRAY_REMOVED); the first report at
// once, whichever it is. It touches nothing of the program but that window
// handle and its stop event, ends by itself when the event is signalled, and
// nothing waits for it.
#pragma once

#include <memory>
#include <string>

#include "platform/MessageLoop.h"

namespace pv {

constexpr UINT WM_TRAY_CREATED = WM_USER + 1;
constexpr UINT WM_TRAY_REMOVED = WM_USER + 2;

// Where to look: the X display and the session bus ("" for none).
struct TTrayWatchPlace {
    std::string Display;
    std::string BusAddress;
    // From $DISPLAY and $DBUS_SESSION_BUS_ADDRESS.
    static TTrayWatchPlace FromEnvironment();
};

class TWaitThread {
  public:
    // Starts the thread. stopEvent: an eventfd the thread polls; signalling
    // it ends the thread without a further report. The descriptor must stay
    // open until LiveCount shows the thread gone: pass ownership with
    // TakeStopEvent semantics through the shared holder below.
    struct StopEvent {
        int fd = -1;
        ~StopEvent();
    };
    static void Start(HWND window, std::shared_ptr<StopEvent> stop, TTrayWatchPlace place);

    // Threads still running in the process (for tests).
    static int LiveCount();

    // Between tries while no notification area can be seen, in milliseconds.
    static constexpr int kRetryMs = 250;
};

} // namespace pv
