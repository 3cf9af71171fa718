// The synchronous wait's time limit, on a fake clock.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/support/LoopGuard.h"

namespace pv {
namespace {

TEST(SyncWSocket, WaitEndsWhenItsTimeLimitHasPassed) {
    test::LoopGuard guard{20, test::LoopGuard::FakeClock};
    TWSocket s;
    s.SetTimeout(500);
    const std::uint32_t start = GetTickCount();
    std::atomic<bool> waiting{true};
    std::thread clock([&] {
        while (waiting) {
            guard.Advance(50);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    bool never = false;
    EXPECT_EQ(s.WaitUntilReady(never), 12001);
    const std::uint32_t waited = GetTickCount() - start;
    waiting = false;
    clock.join();
    EXPECT_GT(waited, 500u);
    // Set in time, the flag wins.
    bool done = false;
    HWND setter = CreateWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == WM_USER)
            done = true;
        return 0;
    });
    EXPECT_EQ(s.RunAndWait(done, [&] { PostMessage(setter, WM_USER, 0, 0); }), 0);
    DestroyWindow(setter);
}

} // namespace
} // namespace pv
