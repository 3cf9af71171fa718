#include "platform/Timer.h"
#include "tests/support/LoopGuard.h"

#include <gtest/gtest.h>

#include <memory>

using namespace pv;
using pv::test::LoopGuard;

namespace {
int Pump() {
    int n = 0;
    MSG msg;
    while (PeekMessage(msg, true)) {
        DispatchMessage(msg);
        ++n;
    }
    return n;
}
} // namespace

TEST(TTimer, WatchdogFiresAfterItsFullInterval) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    TTimer watchdog;
    watchdog.SetEnabled(false);
    int ticks = 0;
    watchdog.OnTimer = [&](TObject *sender) {
        EXPECT_EQ(sender, &watchdog);
        ++ticks;
    };
    watchdog.SetInterval(30000);
    guard.Advance(60000);
    Pump();
    EXPECT_EQ(ticks, 0); // disabled
    watchdog.SetEnabled(true);
    guard.Advance(29999);
    Pump();
    EXPECT_EQ(ticks, 0);
    guard.Advance(1);
    Pump();
    EXPECT_EQ(ticks, 1);
    guard.Advance(30000);
    Pump();
    EXPECT_EQ(ticks, 2);
}

TEST(TTimer, SettingTheIntervalRestartsIt) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    TTimer t;
    int ticks = 0;
    t.OnTimer = [&](TObject *) { ++ticks; };
    EXPECT_TRUE(t.Enabled());
    EXPECT_EQ(t.Interval(), 1000u);
    guard.Advance(900);
    t.SetInterval(1000); // the same value still starts a fresh interval
    guard.Advance(900);
    Pump();
    EXPECT_EQ(ticks, 0);
    guard.Advance(100);
    Pump();
    EXPECT_EQ(ticks, 1);
    t.SetInterval(0); // stops it
    EXPECT_EQ(LiveTimerCount(), 0u);
    guard.Advance(5000);
    Pump();
    EXPECT_EQ(ticks, 1);
    t.SetInterval(596u * 3600000u); // the longest poll interval fits
    EXPECT_EQ(t.Interval(), 2145600000u);
    guard.Advance(2145600000ull - 1);
    Pump();
    EXPECT_EQ(ticks, 1);
    guard.Advance(1);
    Pump();
    EXPECT_EQ(ticks, 2);
}

TEST(TTimer, HandlerMayDisableOrDestroyItsTimer) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    auto once = std::make_unique<TTimer>();
    auto gone = std::make_unique<TTimer>();
    int onceTicks = 0, goneTicks = 0;
    once->OnTimer = [&](TObject *) {
        ++onceTicks;
        once->SetEnabled(false); // a one-shot, like the splash timer
    };
    gone->OnTimer = [&, pad = std::vector<int>(32)](TObject *) {
        goneTicks += 1 + pad[31];
        gone.reset();
    };
    guard.Advance(1000);
    Pump();
    guard.Advance(5000);
    Pump();
    EXPECT_EQ(onceTicks, 1);
    EXPECT_EQ(goneTicks, 1);
    EXPECT_FALSE(gone);
}

TEST(TTimer, DestroyingItLeavesNoWindowOrTimer) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    std::size_t windows = LiveWindowCount();
    {
        TTimer t;
        EXPECT_EQ(LiveWindowCount(), windows + 1);
        EXPECT_EQ(LiveTimerCount(), 1u);
        guard.Advance(1000); // due but never taken
    }
    EXPECT_EQ(LiveWindowCount(), windows);
    EXPECT_EQ(Pump(), 0);
}
