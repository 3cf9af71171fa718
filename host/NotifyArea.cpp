#include "host/NotifyArea.h"

namespace pv {

namespace {

// Headless: there is no notification area to show anything in.
class TNoNotifyArea : public TNotifyArea {
  public:
    bool ShellNotifyIcon(std::uint32_t, const TNotifyIconData &) override { return false; }
    TPoint CursorPos() override { return {}; }
    TShiftState KeyboardShift() override { return {}; }
    bool TrackPopupMenu(TPopupMenu &, TPoint, TMenuItem *&chosen) override {
        chosen = nullptr;
        return false;
    }
};

TNotifyArea *gArea = nullptr;

} // namespace

TNotifyArea &NotifyArea() {
    static TNoNotifyArea none;
    return gArea ? *gArea : none;
}

TNotifyArea *SetNotifyArea(TNotifyArea *area) {
    TNotifyArea *old = gArea;
    gArea = area;
    return old;
}

} // namespace pv
