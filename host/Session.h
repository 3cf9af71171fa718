// The end of the desktop session as the program's windows see it. The
// desktop's session manager asks whether the session may end; SIGHUP says it
// has ended. Windows registered here get WM_QUERYENDSESSION and
// WM_ENDSESSION in the order they registered; after them the application
// itself, whose own handling of an ending session ends the program, unless a
// filter installed on it marks the message handled.
#pragma once

#include <functional>
#include <vector>

#include "platform/MessageLoop.h"

namespace pv {

class TApplication;

// Returns true when it handled the message (the application's own
// processing then does not run).
using TSessionFilter = std::function<bool(UINT msg, WPARAM wParam, LPARAM lParam)>;

class TSession {
  public:
    explicit TSession(TApplication &app);

    void AddWindow(HWND window);
    void RemoveWindow(HWND window);
    // Returns a key for RemoveFilter.
    int AddFilter(TSessionFilter filter);
    void RemoveFilter(int key);

    // WM_QUERYENDSESSION to each window; false as soon as one answers 0 (the
    // windows after it are not asked).
    bool QueryEnd();
    // WM_ENDSESSION (wParam: whether the session really ends) to each window,
    // then to the application: its filters first, and unless one handled it,
    // an ending session terminates the application.
    void End(bool ending);

  private:
    TApplication &app_;
    std::vector<HWND> windows_;
    std::vector<std::pair<int, TSessionFilter>> filters_;
    int nextKey_ = 0;
};

// The program's session, bound to Application().
TSession &Session();

} // namespace pv
