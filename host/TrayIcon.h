// TTrayIcon: one icon in the notification area with a tool tip, an optional
// animation through a list of frames, a pop-up menu on the right button and
// mouse events for its owner. The notification area sends the icon's mouse
// activity to the component's own window as WM_TRAY_CALLBACK.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/Icon.h"
#include "host/IconList.h"
#include "host/NotifyArea.h"
#include "host/TimerThread.h"
#include "platform/MessageLoop.h"
#include "platform/ui/MenuItem.h"

namespace pv {

constexpr UINT WM_TRAY_CALLBACK = 0xB054;

using TMouseEvent =
    std::function<void(TObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject *Sender, TShiftState Shift, int X, int Y)>;

// The tip: the short hint (before the first "|"), at most 63 bytes, never
// cut inside a UTF-8 sequence.
std::string TrayTip(const std::string &hint);

class TTrayIcon : public TObject {
  public:
    TTrayIcon();
    ~TTrayIcon() override;
    TTrayIcon(const TTrayIcon &) = delete;
    TTrayIcon &operator=(const TTrayIcon &) = delete;

    bool Active() const { return active_; }
    void SetActive(bool value);
    bool Animated() const { return animated_; }
    void SetAnimated(bool value);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }
    std::uint16_t Interval() const { return interval_; }
    void SetInterval(std::uint16_t ms);
    TIcon &Icon() { return icon_; }
    void SetIcon(const TIcon *icon) { icon_.Assign(icon); }
    TIconList &Icons() { return icons_; }
    void SetIcons(const TIconList &icons) { icons_.Assign(icons); }
    const std::string &Hint() const { return hint_; }
    void SetHint(const std::string &hint);
    TPopupMenu *PopupMenu() const { return popup_; }
    void SetPopupMenu(TPopupMenu *menu);

    // After the stored properties are set: adds the icon when Active.
    void Loaded();

    HWND Handle() const { return window_; }
    bool IconAdded() const { return added_; }
    int FrameIndex() const { return frame_; }
    // The frame while animated, else Icon; nullptr when the frame slot is empty.
    TIcon *CurrentIcon();
    const TNotifyIconData &NotifyData() const { return data_; }
    // The clock of the animation thread (tests); nullptr: the real one.
    void SetAnimationClock(std::shared_ptr<Clock> clock) { clock_ = std::move(clock); }

    TMouseEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;

  protected:
    virtual void FillNotifyData(TNotifyIconData &data);
    virtual void DblClick();
    virtual void Click(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseMove(TShiftState Shift, int X, int Y);
    virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);

  private:
    static constexpr UINT WM_TRAY_STEP = WM_USER + 1;
    static constexpr unsigned kLeftPressed = 1, kRightPressed = 2;

    LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void MouseMessage(UINT mouse);
    void ButtonClick(TMouseButton button, TShiftState shift, TPoint at);
    bool ShowPopup();
    void Update();
    void AddIcon();
    void RemoveIcon();
    void StopAnimation();
    void AdvanceFrame();

    HWND window_ = 0;
    bool active_ = true;
    bool added_ = false;
    bool animated_ = false;
    bool enabled_ = true;
    unsigned clickState_ = 0;
    int frame_ = -1;
    std::uint16_t interval_ = 150;
    TNotifyIconData data_;
    TIcon icon_;
    TIconList icons_;
    std::string hint_;
    TPopupMenu *popup_ = nullptr;
    int popupKey_ = 0;
    std::unique_ptr<TTimerThread> thread_;
    std::shared_ptr<Clock> clock_;
    bool destroying_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pv
