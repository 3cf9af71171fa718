#include "host/Session.h"

#include <algorithm>

#include "platform/Application.h"

namespace pv {

TSession::TSession(TApplication &app) : app_(app) {}

void TSession::AddWindow(HWND window) {
    if (std::find(windows_.begin(), windows_.end(), window) == windows_.end())
        windows_.push_back(window);
}

void TSession::RemoveWindow(HWND window) {
    std::erase(windows_, window);
}

int TSession::AddFilter(TSessionFilter filter) {
    filters_.emplace_back(++nextKey_, std::move(filter));
    return nextKey_;
}

void TSession::RemoveFilter(int key) {
    std::erase_if(filters_, [key](const auto &f) { return f.first == key; });
}

bool TSession::QueryEnd() {
    const std::vector<HWND> windows = windows_; // a handler may unregister
    for (HWND w : windows)
        if (IsWindow(w) && SendMessage(w, WM_QUERYENDSESSION, 0, 0) == 0)
            return false;
    return true;
}

void TSession::End(bool ending) {
    const WPARAM wParam = ending ? 1 : 0;
    const std::vector<HWND> windows = windows_;
    for (HWND w : windows)
        if (IsWindow(w))
            SendMessage(w, WM_ENDSESSION, wParam, 0);
    const auto filters = filters_;
    for (const auto &f : filters)
        if (f.second && f.second(WM_ENDSESSION, wParam, 0))
            return;
    if (ending)
        app_.Terminate();
}

TSession &Session() {
    static TSession session(Application());
    return session;
}

} // namespace pv
