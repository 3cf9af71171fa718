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
    // The stop event: an eventfd, closed when the last of its holders (the
    // helper, the thread) lets go. Signalling it ends the thread without a
    // further report.
    struct StopEvent {
        int fd = -1;
        ~StopEvent();
    };
    // Starts the thread, posting its reports to window.
    static void Start(HWND window, std::shared_ptr<StopEvent> stop, TTrayWatchPlace place);

    // Threads still running in the process (for tests).
    static int LiveCount();

    // Between tries while no notification area can be seen, in milliseconds.
    static constexpr int kRetryMs = 250;
};

} // namespace pv
