// TTimerThread: the tray icon's animation clock. It only sleeps and then asks
// the tray window, by a posted message, to show the next frame; the frame
// itself changes on the user-interface thread. It ends by itself once asked
// to stop, and nothing waits for it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/MessageLoop.h"

namespace pv {

class TTimerThread {
  public:
    // Posts message to window every interval milliseconds (read anew for
    // every step) while not paused. clock: nullptr for the real one; a fake
    // clock (tests) is followed by checking it every millisecond.
    TTimerThread(HWND window, UINT message, std::uint16_t interval, bool paused,
                 std::shared_ptr<Clock> clock = nullptr);
    // Stops the thread (without waiting for it).
    ~TTimerThread();
    TTimerThread(const TTimerThread &) = delete;
    TTimerThread &operator=(const TTimerThread &) = delete;

    void SetInterval(std::uint16_t ms) { shared_->interval = ms; }
    void Pause();
    void Resume();
    // The posted step was handled: the next one may be posted.
    void StepDone() { shared_->stepPending = false; }

    // Threads still running in the process (for tests).
    static int LiveCount();

  private:
    struct Shared {
        std::mutex m;
        std::condition_variable cv;
        bool paused = false;
        bool stop = false;
        std::uint64_t due = 0; // the next step, on the clock below
        std::atomic<std::uint16_t> interval{150};
        std::atomic<bool> stepPending{false};
        HWND window = 0;
        UINT message = 0;
        std::shared_ptr<Clock> clock;

        std::uint64_t Now() const;
    };
    static void Body(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
};

} // namespace pv
