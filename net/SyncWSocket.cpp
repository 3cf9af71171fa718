#include "net/SyncWSocket.h"

#include <chrono>
#include <thread>

#include "platform/Application.h"

namespace pv {

int TCustomSyncWSocket::RunAndWait(bool &DoneFlag, const std::function<void()> &Proc) {
    DoneFlag = false;
    if (Proc)
        Proc();
    return WaitUntilReady(DoneFlag);
}

int TCustomSyncWSocket::WaitUntilReady(bool &DoneFlag) {
    constexpr int kWaitFailed = 12001;
    fTimeStop = GetTickCount() + fTimeout;
    const std::uint64_t quits = fQuitsTaken;
    for (;;) {
        if (DoneFlag)
            return 0;
        if (fTimeout > 0 && static_cast<std::int32_t>(GetTickCount() - fTimeStop) > 0)
            return kWaitFailed;
        if (Application().Terminated() || fQuitsTaken != quits)
            return kWaitFailed;
        MessagePump();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace pv
