// TTimer: OnTimer every Interval milliseconds while Enabled, from the message
// loop of the thread that created it.
#pragma once

#include "platform/MessageLoop.h"
#include "platform/Object.h"

#include <cstdint>
#include <functional>

namespace pv {

class TTimer : public TObject {
  public:
    TTimer();
    ~TTimer() override;
    TTimer(const TTimer &) = delete;
    TTimer &operator=(const TTimer &) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    std::uint32_t Interval() const { return interval_; }
    // Restarts a running timer, so the next tick is one full interval away.
    // 0 stops it until another interval is set.
    void SetInterval(std::uint32_t ms);

    // May change Enabled or Interval, and may destroy the timer.
    std::function<void(TObject *Sender)> OnTimer;

  private:
    void Update();

    HWND window_ = 0;
    bool enabled_ = true;
    std::uint32_t interval_ = 1000;
};

} // namespace pv
