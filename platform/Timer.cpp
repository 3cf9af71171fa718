#include "platform/Timer.h"

namespace pv {

namespace {
constexpr UINT_PTR kTimerId = 1;
}

TTimer::TTimer() {
    window_ = CreateWindow([this](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg != WM_TIMER)
            return DefWindowProc(hwnd, msg, wParam, lParam);
        // A copy: the handler may destroy this timer and its OnTimer with it.
        if (auto handler = OnTimer)
            handler(this);
        return 0;
    });
    Update();
}

TTimer::~TTimer() {
    KillTimer(window_, kTimerId);
    DestroyWindow(window_);
}

void TTimer::SetEnabled(bool value) {
    if (value == enabled_)
        return;
    enabled_ = value;
    Update();
}

void TTimer::SetInterval(std::uint32_t ms) {
    interval_ = ms;
    Update();
}

void TTimer::Update() {
    KillTimer(window_, kTimerId);
    if (enabled_ && interval_ > 0)
        SetTimer(window_, kTimerId, interval_);
}

} // namespace pv
