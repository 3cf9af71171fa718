#include "qt/LoopBridge.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include "platform/Application.h"
#include "platform/MessageLoop.h"

namespace pv {

namespace {

// Messages handled per notification before Qt gets its turn again.
constexpr int kBatch = 64;
// How long dispatching pauses while a quit waits for a nested loop below.
constexpr int kPauseMs = 20;

int LoopLevel() {
    return QThread::currentThread()->loopLevel();
}

} // namespace

TLoopBridge::TLoopBridge(TApplication &app)
    : app_(app), notifier_(std::make_unique<QSocketNotifier>(LoopFd(), QSocketNotifier::Read)),
      resume_(std::make_unique<QTimer>()) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Ready(); });
    resume_->setSingleShot(true);
    QObject::connect(resume_.get(), &QTimer::timeout, [this] { notifier_->setEnabled(true); });
    SetLoopWaitHook([this] { WaitForLoop(); });
}

TLoopBridge::~TLoopBridge() {
    SetLoopWaitHook(nullptr);
}

bool TLoopBridge::RunUntilTerminated() {
    while (!app_.Terminated()) {
        exiting_ = false;
        QCoreApplication::exec();
        if (!app_.Terminated() && !exiting_)
            return false;
    }
    return true;
}

void TLoopBridge::ProcessFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The innermost loop running is a nested wait of the layer: it takes what is
// due itself.
bool TLoopBridge::QuitInnermostWait() {
    if (waits_.empty() || waits_.back().level != LoopLevel())
        return false;
    waits_.back().loop->quit();
    return true;
}

// Something of the layer is due. Anywhere but in a nested wait of the layer
// (Qt's main loop, a modal dialog) it is dispatched here.
void TLoopBridge::Ready() {
    if (QuitInnermostWait())
        return;
    for (int i = 0; i < kBatch; ++i) {
        MSG msg;
        bool any = false;
        try {
            any = PeekMessage(msg, false); // may run fd callbacks
        } catch (const Exception &e) {
            app_.HandleException(&app_, e);
            continue;
        } catch (const std::exception &e) {
            app_.HandleException(&app_, Exception(e.what()));
            continue;
        }
        if (!any)
            break;
        // Below this dispatch (in a handler it runs inside, or in a wait) a
        // nested loop of the layer may be waiting for this quit: it stays
        // queued until the loops have unwound to where it belongs.
        if (msg.message == WM_QUIT && (depth_ > 0 || !waits_.empty())) {
            Pause();
            return;
        }
        ++depth_;
        struct Unwind {
            int &depth;
            ~Unwind() { --depth; }
        } unwind{depth_};
        app_.HandleMessage();
        if (app_.Terminated()) {
            exiting_ = true;
            QCoreApplication::exit(0);
            return;
        }
    }
}

void TLoopBridge::WaitForLoop() {
    QEventLoop loop;
    waits_.push_back(Wait{&loop, LoopLevel() + 1});
    notifier_->setEnabled(true);
    loop.exec();
    waits_.pop_back();
}

void TLoopBridge::Pause() {
    notifier_->setEnabled(false);
    resume_->start(kPauseMs);
}

} // namespace pv
