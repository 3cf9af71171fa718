// TServiceHelper: lets the program run on when it was started with the
// service switch (it then answers the session's end itself and keeps the
// program alive through it), and tells the program when a notification area
// appears and goes away, so the tray icon can follow.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Session.h"
#include "host/WaitThread.h"
#include "platform/MessageLoop.h"
#include "platform/Object.h"

namespace pv {

constexpr UINT WM_SERVICE_CHECK = WM_USER + 3;

// Whether args (the program's arguments, without its name) hold the switch
// param after a "-" or "/", case-insensitive, ended by the argument's end,
// ":" or "=". Arguments count up to their first 255 characters.
bool FindServiceSwitch(const std::vector<std::string> &args, const std::string &param);

// The program's arguments after its name, from /proc/self/cmdline.
std::vector<std::string> ProgramArguments();

// Linux counts as the NT family (platform identifier 2). Read once; a
// failure raises "System Error.  Code: %d.\r\n%s".
int SystemPlatformId();

enum TTrayState { tsUnknown, tsPresent, tsAbsent };

class TServiceHelper : public TObject {
  public:
    // Starts the tray watch at once (from the environment unless place is
    // given) and posts the start-up check, which runs with the message loop.
    // Raises "Cannot create event:" + the system's text when the stop event
    // cannot be made.
    TServiceHelper();
    // session: where the session's questions come from (the program's own
    // unless a test gives another).
    explicit TServiceHelper(TTrayWatchPlace place, TSession &session = Session());
    ~TServiceHelper() override;
    TServiceHelper(const TServiceHelper &) = delete;
    TServiceHelper &operator=(const TServiceHelper &) = delete;

    bool ServiceMode = true;
    std::string ServiceParam = "service";
    // The arguments the start-up check looks at: the program's own unless
    // set before the check runs.
    std::vector<std::string> CommandLine = ProgramArguments();

    // True once the start-up check found the switch in service mode.
    bool ServiceActive() const { return active_; }
    // What the last report of the tray watch said.
    TTrayState TrayState() const { return trayState_; }
    HWND Handle() const { return window_; }

    TNotifyEvent OnTrayCreated;
    TNotifyEvent OnTrayRemoved;
    TNotifyEvent OnQueryEndSession;
    TNotifyEvent OnEndSession;

  private:
    LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void ServiceCheck();

    TSession &session_;
    HWND window_ = 0;
    std::shared_ptr<TWaitThread::StopEvent> stop_;
    bool active_ = false;
    int filter_ = 0;
    TTrayState trayState_ = tsUnknown;
};

} // namespace pv
