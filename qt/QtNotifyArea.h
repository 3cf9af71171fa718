// The notification area through QSystemTrayIcon: one Qt tray icon per added
// icon; its activations are posted to the component's window as the mouse
// messages the notify data asks for.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "host/NotifyArea.h"

class QSystemTrayIcon;

namespace pv {

class TQtNotifyArea : public TNotifyArea {
  public:
    TQtNotifyArea();
    ~TQtNotifyArea() override;

    bool ShellNotifyIcon(std::uint32_t message, const TNotifyIconData &data) override;
    TPoint CursorPos() override;
    TShiftState KeyboardShift() override;
    bool TrackPopupMenu(TPopupMenu &menu, TPoint at, TMenuItem *&chosen) override;

    // Where the icon of window is shown (screen coordinates).
    bool IconRect(HWND window, int &x, int &y, int &width, int &height) const;
    // Its tool tip ("" without an icon).
    std::string ToolTip(HWND window) const;

  private:
    struct Entry {
        std::unique_ptr<QSystemTrayIcon> icon;
        HICON handle = -1;
    };
    void Apply(Entry &entry, const TNotifyIconData &data);

    std::map<std::pair<HWND, UINT>, Entry> icons_;
};

} // namespace pv
