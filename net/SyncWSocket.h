// The synchronous-wait layer of the socket chain: waits for a flag while
// messages keep flowing.
#pragma once

#include <cstdint>
#include <functional>

#include "net/LineWSocket.h"

namespace pv {

class TCustomSyncWSocket : public TCustomLineWSocket {
  public:
    TCustomSyncWSocket() = default;

    // Clears DoneFlag, runs Proc (when given), then waits for DoneFlag.
    int RunAndWait(bool &DoneFlag, const std::function<void()> &Proc);
    // 0 when DoneFlag was set, 12001 when the wait ended otherwise (a quit
    // taken by a pump, the application terminating, the time limit).
    virtual int WaitUntilReady(bool &DoneFlag);
    // The time limit of a wait in milliseconds; 0 = none.
    std::uint32_t Timeout() const { return fTimeout; }
    void SetTimeout(std::uint32_t ms) { fTimeout = ms; }

  protected:
    std::uint32_t fTimeout = 0; // ms, 0 = none
    std::uint32_t fTimeStop = 0;
};

} // namespace pv
