// The Qt 6 desktop front end, a module the program loads when a display is
// present. It owns the QApplication and, while it exists, provides the
// program's dialog service, notification area and form rendering.
#include <memory>

#include <QApplication>
#include <QSessionManager>

#include "host/FrontEnd.h"
#include "host/NotifyArea.h"
#include "host/Session.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "qt/FormRenderer.h"
#include "qt/LoopBridge.h"
#include "qt/QtDialogs.h"
#include "qt/QtNotifyArea.h"

namespace pv {

namespace {

template <class F> auto Guarded(F f, decltype(f()) fallback) -> decltype(f()) {
    try {
        return f();
    } catch (const Exception &e) {
        Application().HandleException(&Application(), e);
    } catch (const std::exception &e) {
        Application().HandleException(&Application(), Exception(e.what()));
    }
    return fallback;
}

class TQtFrontEnd : public TFrontEnd {
  public:
    TQtFrontEnd(int *argc, char **argv) {
        app_ = std::make_unique<QApplication>(*argc, argv);
        // Only the program decides when it ends: hiding its last window
        // (the tray is where it lives) must not end Qt's loop.
        QApplication::setQuitOnLastWindowClosed(false);
        renderer_ = std::make_unique<TFormRenderer>();
        bridge_ = std::make_unique<TLoopBridge>(Application());
        oldDialogs_ = SetDialogService(&dialogs_);
        oldArea_ = SetNotifyArea(&area_);
        // The desktop asks whether the session may end.
        QObject::connect(app_.get(), &QGuiApplication::commitDataRequest,
                         [](QSessionManager &manager) {
                             if (!Guarded([] { return Session().QueryEnd(); }, true))
                                 manager.cancel();
                         });
    }

    ~TQtFrontEnd() override {
        SetNotifyArea(oldArea_);
        SetDialogService(oldDialogs_);
        bridge_.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        renderer_.reset();
        app_.reset();
    }

    const char *Name() const override { return "Qt"; }

    // No application display name is set: Qt would append it to every
    // window's caption, which is the program's own.
    void Run(TApplication &) override {
        while (!bridge_->RunUntilTerminated()) {
            // Qt's loop was ended by the desktop session: the session is over.
            Guarded(
                [] {
                    Session().End(true);
                    return true;
                },
                true);
        }
    }

    void ProcessEvents(int ms) override {
        bridge_->ProcessFor(ms);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    TViewState Inspect(const TControl *control) override { return renderer_->Inspect(control); }

    bool TrayIconRect(HWND window, int &x, int &y, int &width, int &height) override {
        return area_.IconRect(window, x, y, width, height);
    }

    std::string TrayToolTip(HWND window) override { return area_.ToolTip(window); }

  private:
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<TFormRenderer> renderer_;
    std::unique_ptr<TLoopBridge> bridge_;
    TQtDialogs dialogs_;
    TQtNotifyArea area_;
    TDialogService *oldDialogs_ = nullptr;
    TNotifyArea *oldArea_ = nullptr;
};

} // namespace

} // namespace pv

extern "C" pv::TFrontEnd *PvCreateFrontEnd(int *argc, char **argv) {
    try {
        return new pv::TQtFrontEnd(argc, argv);
    } catch (const std::exception &) {
        return nullptr;
    }
}
