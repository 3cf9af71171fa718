#include "qt/QtNotifyArea.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "host/Icon.h"
#include "platform/ui/MenuItem.h"
#include "qt/ControlViews.h"

namespace pv {

namespace {

QIcon IconOf(HICON handle) {
    std::shared_ptr<const std::string> image = IconImage(handle);
    QPixmap pixmap;
    if (image)
        pixmap.loadFromData(reinterpret_cast<const uchar *>(image->data()),
                            static_cast<uint>(image->size()));
    return QIcon(pixmap);
}

} // namespace

TQtNotifyArea::TQtNotifyArea() = default;
TQtNotifyArea::~TQtNotifyArea() = default;

void TQtNotifyArea::Apply(Entry &entry, const TNotifyIconData &data) {
    if ((data.uFlags & NIF_ICON) && data.hIcon != entry.handle) {
        entry.icon->setIcon(IconOf(data.hIcon));
        entry.handle = data.hIcon;
    }
    if (data.uFlags & NIF_TIP) {
        const std::string tip(data.szTip, strnlen(data.szTip, sizeof data.szTip));
        entry.icon->setToolTip(Qs(tip));
    }
}

bool TQtNotifyArea::ShellNotifyIcon(std::uint32_t message, const TNotifyIconData &data) {
    const auto key = std::make_pair(data.hWnd, data.uID);
    auto it = icons_.find(key);
    switch (message) {
    case NIM_ADD: {
        if (it != icons_.end() || !QSystemTrayIcon::isSystemTrayAvailable())
            return false;
        Entry &entry = icons_[key];
        entry.icon = std::make_unique<QSystemTrayIcon>();
        Apply(entry, data);
        if (data.uFlags & NIF_MESSAGE) {
            const HWND window = data.hWnd;
            const UINT callback = data.uCallbackMessage;
            const WPARAM id = data.uID;
            QObject::connect(entry.icon.get(), &QSystemTrayIcon::activated,
                             [window, callback, id](QSystemTrayIcon::ActivationReason reason) {
                                 auto post = [&](UINT mouse) {
                                     PostMessage(window, callback, id, LPARAM(mouse));
                                 };
                                 switch (reason) {
                                 case QSystemTrayIcon::Trigger:
                                     post(WM_LBUTTONDOWN);
                                     post(WM_LBUTTONUP);
                                     break;
                                 case QSystemTrayIcon::DoubleClick:
                                     post(WM_LBUTTONDBLCLK);
                                     post(WM_LBUTTONUP);
                                     break;
                                 case QSystemTrayIcon::Context:
                                     post(WM_RBUTTONDOWN);
                                     post(WM_RBUTTONUP);
                                     break;
                                 case QSystemTrayIcon::MiddleClick:
                                     post(WM_MBUTTONDOWN);
                                     post(WM_MBUTTONUP);
                                     break;
                                 default:
                                     break;
                                 }
                             });
        }
        entry.icon->show();
        return true;
    }
    case NIM_MODIFY:
        if (it == icons_.end())
            return false;
        Apply(it->second, data);
        return true;
    case NIM_DELETE:
        if (it == icons_.end())
            return false;
        it->second.icon->hide();
        icons_.erase(it);
        return true;
    default:
        return false;
    }
}

TPoint TQtNotifyArea::CursorPos() {
    const QPoint p = QCursor::pos();
    return TPoint{p.x(), p.y()};
}

TShiftState TQtNotifyArea::KeyboardShift() {
    TShiftState shift;
    const Qt::KeyboardModifiers m = QGuiApplication::queryKeyboardModifiers();
    if (m & Qt::ShiftModifier)
        shift.insert(ssShift);
    if (m & Qt::ControlModifier)
        shift.insert(ssCtrl);
    if (m & Qt::AltModifier)
        shift.insert(ssAlt);
    return shift;
}

bool TQtNotifyArea::TrackPopupMenu(TPopupMenu &menu, TPoint at, TMenuItem *&chosen) {
    chosen = nullptr;
    QMenu popup;
    std::map<QAction *, TMenuItem *> items;
    for (TMenuItem *item : menu.Items()) {
        if (!item->Visible())
            continue;
        if (item->IsSeparator()) {
            popup.addSeparator();
            continue;
        }
        QAction *action = popup.addAction(Qs(item->Caption()));
        action->setEnabled(item->Enabled());
        if (item->Default())
            popup.setDefaultAction(action);
        items[action] = item;
    }
    if (items.empty())
        return false;
    // The menu may go away while it is open (the program ending meanwhile).
    bool gone = false;
    const int key = menu.FreeNotification([&gone](TPopupMenu *) { gone = true; });
    QAction *picked = popup.exec(QPoint(at.X, at.Y));
    if (gone)
        return true;
    menu.RemoveFreeNotification(key);
    auto it = items.find(picked);
    if (it != items.end())
        chosen = it->second;
    return true;
}

bool TQtNotifyArea::IconRect(HWND window, int &x, int &y, int &width, int &height) const {
    for (const auto &entry : icons_) {
        if (entry.first.first != window || !entry.second.icon->isVisible())
            continue;
        const QRect r = entry.second.icon->geometry();
        if (r.isEmpty())
            return false;
        x = r.x();
        y = r.y();
        width = r.width();
        height = r.height();
        return true;
    }
    return false;
}

std::string TQtNotifyArea::ToolTip(HWND window) const {
    for (const auto &entry : icons_)
        if (entry.first.first == window)
            return entry.second.icon->toolTip().toStdString();
    return {};
}

} // namespace pv
