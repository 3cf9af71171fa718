// LoopGuard: one per test that runs the message loop, created at the start of
// the test (or as a fixture member). It
//  - aborts the test binary with a clear message when the test is still
//    running after its time limit (a loop waiting for something that never
//    comes would otherwise stall until CTest kills it without a word);
//  - optionally installs a FakeClock on the calling thread's loop, so timers
//    fire on Advance() instead of real waiting;
//  - at the end fails the test if it left windows, timers or fd watches of the
//    thread alive, then drains whatever is still queued (a pending quit
//    included) so the next test starts with an empty queue.
#pragma once

#include "platform/MessageLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>

namespace pv::test {

class LoopGuard {
  public:
    enum ClockKind { RealClock, FakeClock };

    explicit LoopGuard(int seconds = 20, ClockKind clock = RealClock)
        : windows_(LiveWindowCount()), timers_(LiveTimerCount()), watches_(LiveFdWatchCount()) {
        if (const auto *info = ::testing::UnitTest::GetInstance()->current_test_info())
            name_ = std::string(info->test_suite_name()) + "." + info->name();
        if (clock == FakeClock) {
            clock_ = std::make_shared<pv::FakeClock>();
            SetLoopClock(clock_);
        }
        // Started with every signal blocked, so that a signal meant for the
        // loop's signalfd can never land on it, not even before it runs.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        watchdog_ = std::thread([this, seconds] { Watch(seconds); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    ~LoopGuard() {
        EXPECT_EQ(LiveWindowCount(), windows_) << "windows left alive";
        EXPECT_EQ(LiveTimerCount(), timers_) << "timers left alive";
        EXPECT_EQ(LiveFdWatchCount(), watches_) << "fd watches left alive";
        MSG msg;
        for (int i = 0; i < 100000 && PeekMessage(msg, true); ++i) {
        }
        if (clock_)
            SetLoopClock(nullptr);
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        watchdog_.join();
    }

    LoopGuard(const LoopGuard &) = delete;
    LoopGuard &operator=(const LoopGuard &) = delete;

    // The fake clock (only with ClockKind FakeClock).
    pv::FakeClock &Clock() { return *clock_; }
    void Advance(std::uint64_t ms) { clock_->Advance(ms); }

  private:
    void Watch(int seconds) {
        std::unique_lock<std::mutex> lock(m_);
        if (cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; }))
            return;
        std::fprintf(stderr,
                     "LoopGuard: %s still running after its limit of %d s; a message loop is "
                     "probably waiting for something that never comes. Aborting.\n",
                     name_.c_str(), seconds);
        std::fflush(stderr);
        std::abort();
    }

    std::size_t windows_, timers_, watches_;
    std::string name_ = "(no test)";
    std::shared_ptr<pv::FakeClock> clock_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread watchdog_;
};

} // namespace pv::test
