#include "host/TrayIcon.h"

#include <algorithm>
#include <cstring>

#include "platform/Application.h"

namespace pv {

std::string TrayTip(const std::string &hint) {
    std::string tip = hint.substr(0, hint.find('|'));
    if (tip.size() > 63) {
        std::size_t n = 63;
        while (n > 0 && (static_cast<unsigned char>(tip[n]) & 0xC0) == 0x80)
            --n;
        tip.resize(n);
    }
    return tip;
}

TTrayIcon::TTrayIcon() {
    window_ =
        CreateWindow([this](HWND h, UINT m, WPARAM w, LPARAM l) { return WndProc(h, m, w, l); });
    icon_.OnChange = [this](TObject *) { Update(); };
    icons_.OnChange = [this](TObject *) { Update(); };
}

TTrayIcon::~TTrayIcon() {
    destroying_ = true;
    *alive_ = false;
    enabled_ = false;
    icon_.OnChange = nullptr;
    icons_.OnChange = nullptr;
    StopAnimation();
    RemoveIcon();
    if (popup_)
        popup_->RemoveFreeNotification(popupKey_);
    DestroyWindow(window_);
}

void TTrayIcon::SetActive(bool value) {
    if (value == active_)
        return;
    active_ = value;
    if (value)
        AddIcon();
    else
        RemoveIcon();
}

void TTrayIcon::SetAnimated(bool value) {
    const bool effective = value && icons_.Count() > 0;
    if (effective == animated_)
        return;
    if (effective) {
        thread_ = std::make_unique<TTimerThread>(window_, WM_TRAY_STEP, interval_, !added_, clock_);
        animated_ = true;
    } else {
        StopAnimation();
    }
    frame_ = 0;
    Update();
}

void TTrayIcon::SetInterval(std::uint16_t ms) {
    interval_ = ms;
    if (thread_)
        thread_->SetInterval(ms);
}

void TTrayIcon::SetHint(const std::string &hint) {
    hint_ = hint;
    Update();
}

void TTrayIcon::SetPopupMenu(TPopupMenu *menu) {
    if (menu == popup_)
        return;
    if (popup_)
        popup_->RemoveFreeNotification(popupKey_);
    popup_ = menu;
    if (popup_)
        popupKey_ = popup_->FreeNotification([this](TPopupMenu *gone) {
            if (gone == popup_)
                popup_ = nullptr;
        });
}

void TTrayIcon::Loaded() {
    if (active_)
        AddIcon();
}

TIcon *TTrayIcon::CurrentIcon() {
    const int count = icons_.Count();
    if (count > 0 && animated_)
        return icons_.Items(std::max(std::min(frame_, count - 1), 0));
    return &icon_;
}

void TTrayIcon::FillNotifyData(TNotifyIconData &data) {
    data = TNotifyIconData{};
    data.hWnd = window_;
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAY_CALLBACK;
    const TIcon *icon = CurrentIcon();
    data.hIcon = icon ? icon->Handle() : -1;
    const std::string tip = TrayTip(hint_);
    std::memcpy(data.szTip, tip.data(), tip.size());
    data.szTip[tip.size()] = '\0';
}

void TTrayIcon::Update() {
    if (icons_.Count() == 0 && animated_)
        StopAnimation();
    if (added_) {
        const TIcon *icon = CurrentIcon();
        if (!icon || icon->Empty()) {
            RemoveIcon();
        } else {
            FillNotifyData(data_);
            NotifyArea().ShellNotifyIcon(NIM_MODIFY, data_);
        }
    } else if (active_) {
        AddIcon();
    }
}

void TTrayIcon::AddIcon() {
    RemoveIcon();
    const TIcon *icon = CurrentIcon();
    if (!icon || icon->Empty())
        return;
    clickState_ = 0;
    FillNotifyData(data_);
    added_ = NotifyArea().ShellNotifyIcon(NIM_ADD, data_);
    if (animated_ && added_ && thread_)
        thread_->Resume();
}

void TTrayIcon::RemoveIcon() {
    NotifyArea().ShellNotifyIcon(NIM_DELETE, data_);
    added_ = false;
    clickState_ = 0;
    if (animated_ && thread_)
        thread_->Pause();
}

void TTrayIcon::StopAnimation() {
    animated_ = false;
    thread_.reset(); // detaches the thread and asks it to stop
}

void TTrayIcon::AdvanceFrame() {
    if (destroying_ || !animated_)
        return;
    ++frame_;
    if (frame_ >= icons_.Count())
        frame_ = 0;
    Update();
}

LRESULT TTrayIcon::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        if (msg == WM_TRAY_STEP) {
            if (thread_)
                thread_->StepDone();
            AdvanceFrame();
            return 0;
        }
        if (msg == WM_TRAY_CALLBACK && enabled_) {
            MouseMessage(static_cast<UINT>(lParam));
            return 0;
        }
    } catch (const Exception &e) {
        Application().HandleException(this, e);
        return 0;
    } catch (const std::exception &e) {
        Application().HandleException(this, Exception(e.what()));
        return 0;
    }
    return DefWindowProc(hwnd, msg, wParam, lParam);
}

void TTrayIcon::MouseMessage(UINT mouse) {
    TNotifyArea &area = NotifyArea();
    const TShiftState shift = area.KeyboardShift();
    const TPoint p = area.CursorPos();
    auto with = [&shift](TShiftFlag flag) {
        TShiftState s = shift;
        s.insert(flag);
        return s;
    };
    // A press and its release over the icon make a click; the release after
    // it only when the click's handlers left the component alive.
    auto release = [&](TMouseButton button, unsigned pressed, TShiftFlag flag) {
        if (clickState_ & pressed) {
            clickState_ &= ~pressed;
            std::shared_ptr<bool> alive = alive_;
            ButtonClick(button, with(flag), p);
            if (!*alive)
                return;
        }
        MouseUp(button, with(flag), p.X, p.Y);
    };
    switch (mouse) {
    case WM_MOUSEMOVE:
        MouseMove(shift, p.X, p.Y);
        break;
    case WM_LBUTTONDOWN:
        MouseDown(mbLeft, with(ssLeft), p.X, p.Y);
        clickState_ |= kLeftPressed;
        break;
    case WM_LBUTTONUP:
        release(mbLeft, kLeftPressed, ssLeft);
        break;
    case WM_LBUTTONDBLCLK: {
        std::shared_ptr<bool> alive = alive_;
        DblClick();
        if (*alive)
            MouseDown(mbLeft, with(ssDouble), p.X, p.Y);
        break;
    }
    case WM_RBUTTONDOWN:
        MouseDown(mbRight, with(ssRight), p.X, p.Y);
        clickState_ |= kRightPressed;
        break;
    case WM_RBUTTONUP:
        release(mbRight, kRightPressed, ssRight);
        break;
    case WM_RBUTTONDBLCLK:
        MouseDown(mbRight, with(ssDouble), p.X, p.Y);
        break;
    case WM_MBUTTONDOWN:
        MouseDown(mbMiddle, with(ssMiddle), p.X, p.Y);
        break;
    case WM_MBUTTONUP:
        MouseUp(mbMiddle, with(ssMiddle), p.X, p.Y);
        break;
    case WM_MBUTTONDBLCLK:
        MouseDown(mbMiddle, with(ssDouble), p.X, p.Y);
        break;
    default:
        break;
    }
}

void TTrayIcon::ButtonClick(TMouseButton button, TShiftState shift, TPoint at) {
    if (button == mbRight) {
        std::shared_ptr<bool> alive = alive_;
        const bool shown = ShowPopup();
        if (!*alive || shown)
            return;
    }
    Click(button, shift, at.X, at.Y);
}

bool TTrayIcon::ShowPopup() {
    if (!active_ || !popup_ || !popup_->AutoPopup())
        return false;
    TNotifyArea &area = NotifyArea();
    std::shared_ptr<bool> alive = alive_;
    popup_->SetPopupComponent(this);
    area.CancelModes();
    if (enabled_)
        area.SetForegroundWindow(window_);
    Application().ProcessMessages();
    // What ran meanwhile may have freed the menu, or this component.
    if (!*alive || !popup_)
        return false;
    TMenuItem *chosen = nullptr;
    bool shown = false;
    try {
        shown = area.TrackPopupMenu(*popup_, area.CursorPos(), chosen);
    } catch (...) {
        if (*alive)
            area.SetForegroundWindow(window_);
        throw;
    }
    if (!*alive)
        return true;
    area.SetForegroundWindow(window_);
    if (chosen)
        chosen->UserClick();
    return shown;
}

void TTrayIcon::DblClick() {
    if (active_ && popup_) {
        for (TMenuItem *item : popup_->Items()) {
            if (item->Default() && item->Enabled()) {
                item->Click();
                return;
            }
        }
    }
    if (OnDblClick)
        OnDblClick(this);
}

void TTrayIcon::Click(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (OnClick)
        OnClick(this, Button, Shift, X, Y);
}

void TTrayIcon::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (OnMouseDown)
        OnMouseDown(this, Button, Shift, X, Y);
}

void TTrayIcon::MouseMove(TShiftState Shift, int X, int Y) {
    if (OnMouseMove)
        OnMouseMove(this, Shift, X, Y);
}

void TTrayIcon::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (OnMouseUp)
        OnMouseUp(this, Button, Shift, X, Y);
}

} // namespace pv
