// The program's message loop inside Qt's. A socket notifier on the layer's
// epoll descriptor dispatches the layer's messages whenever something is due;
// a nested wait of the layer (a GetMessage with nothing due) runs a
// QEventLoop until something is. Each side's nested loops keep the other
// side going.
#pragma once

#include <memory>
#include <vector>

class QEventLoop;
class QSocketNotifier;
class QTimer;

namespace pv {

class TApplication;

class TLoopBridge {
  public:
    explicit TLoopBridge(TApplication &app);
    ~TLoopBridge();
    TLoopBridge(const TLoopBridge &) = delete;
    TLoopBridge &operator=(const TLoopBridge &) = delete;

    // Qt's loop until the application has terminated. Returns early (false)
    // when Qt's loop was ended by someone else (the desktop session).
    bool RunUntilTerminated();
    // Both loops for about ms milliseconds.
    void ProcessFor(int ms);

  private:
    struct Wait {
        QEventLoop *loop;
        int level; // Qt's loop level inside it
    };

    void Ready();
    bool QuitInnermostWait();
    void WaitForLoop();
    void Pause();

    TApplication &app_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> resume_;
    std::vector<Wait> waits_;
    int depth_ = 0; // handlers of the layer running from Dispatch
    bool exiting_ = false;
};

} // namespace pv
