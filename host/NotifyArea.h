// The shell's notification area as the tray component sees it: icons are
// added, modified and deleted with a notify-data record, the icon's mouse
// activity comes back as the record's callback message posted to its window.
// The desktop front end provides the real one; without it nothing can be
// shown and every request fails.
#pragma once

#include <cstdint>
#include <set>

#include "platform/MessageLoop.h"

namespace pv {

class TPopupMenu;
class TMenuItem;

using HICON = std::intptr_t; // -1: no icon

constexpr std::uint32_t NIM_ADD = 0;
constexpr std::uint32_t NIM_MODIFY = 1;
constexpr std::uint32_t NIM_DELETE = 2;

constexpr std::uint32_t NIF_MESSAGE = 0x1;
constexpr std::uint32_t NIF_ICON = 0x2;
constexpr std::uint32_t NIF_TIP = 0x4;

// Mouse messages, as the callback's lParam carries them.
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_RBUTTONDBLCLK = 0x0206;
constexpr UINT WM_MBUTTONDOWN = 0x0207;
constexpr UINT WM_MBUTTONUP = 0x0208;
constexpr UINT WM_MBUTTONDBLCLK = 0x0209;

// The notify data record: the tip holds at most 63 bytes and its terminator.
struct TNotifyIconData {
    std::uint32_t cbSize = 88;
    HWND hWnd = 0;
    UINT uID = 0;
    UINT uFlags = 0;
    UINT uCallbackMessage = 0;
    HICON hIcon = -1;
    char szTip[64] = {};
};

enum TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftFlag { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
using TShiftState = std::set<TShiftFlag>;

struct TPoint {
    int X = 0;
    int Y = 0;
};

class TNotifyArea {
  public:
    virtual ~TNotifyArea() = default;
    // NIM_ADD, NIM_MODIFY or NIM_DELETE; true when the shell accepted it.
    virtual bool ShellNotifyIcon(std::uint32_t message, const TNotifyIconData &data) = 0;
    // The mouse cursor on the screen, and the modifier keys held now.
    virtual TPoint CursorPos() = 0;
    virtual TShiftState KeyboardShift() = 0;
    // Ends any mouse capture or menu mode of the program's windows.
    virtual void CancelModes() {}
    virtual void SetForegroundWindow(HWND) {}
    // Shows the menu at the screen position until the user chooses or
    // dismisses it; other events go on meanwhile. Returns the chosen item
    // (nullptr: none) and false when the menu could not be shown.
    virtual bool TrackPopupMenu(TPopupMenu &menu, TPoint at, TMenuItem *&chosen) = 0;
};

// The process-wide notification area: none until the front end installs one
// (nullptr restores none). Not owned.
TNotifyArea &NotifyArea();
TNotifyArea *SetNotifyArea(TNotifyArea *area);

} // namespace pv
