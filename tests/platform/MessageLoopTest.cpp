#include "platform/MessageLoop.h"
#include "tests/support/LoopGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

using namespace pv;
using pv::test::LoopGuard;

namespace {

// A window that records what it receives as (message, wParam) and may run a
// hook for each message.
struct Recorder {
    std::vector<std::pair<UINT, WPARAM>> got;
    std::function<void(UINT, WPARAM)> hook;
    HWND hwnd = CreateWindow([this](HWND, UINT msg, WPARAM w, LPARAM) -> LRESULT {
        got.emplace_back(msg, w);
        if (hook)
            hook(msg, w);
        return 0;
    });
    ~Recorder() { DestroyWindow(hwnd); }
};

using Seen = std::vector<std::pair<UINT, WPARAM>>;

// Dispatches until nothing is pending; returns the number of messages.
int Pump() {
    int n = 0;
    MSG msg;
    while (PeekMessage(msg, true)) {
        DispatchMessage(msg);
        ++n;
    }
    return n;
}

bool LoopFdReadable() {
    pollfd p{LoopFd(), POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

} // namespace

TEST(PostedMessages, ComeInOrderAcrossWindowsAndThreadMessages) {
    LoopGuard guard;
    Recorder a, b;
    PostMessage(a.hwnd, WM_USER, 1, 0);
    PostMessage(b.hwnd, WM_USER, 2, 0);
    PostThreadMessage(WM_USER, 3, 0);
    PostMessage(a.hwnd, WM_USER, 4, 0);
    std::vector<WPARAM> order;
    MSG msg;
    while (PeekMessage(msg, true)) {
        order.push_back(msg.wParam);
        DispatchMessage(msg); // the thread message has no window: ignored
    }
    EXPECT_EQ(order, (std::vector<WPARAM>{1, 2, 3, 4}));
    EXPECT_EQ(a.got, (Seen{{WM_USER, 1}, {WM_USER, 4}}));
    EXPECT_EQ(b.got, (Seen{{WM_USER, 2}}));
}

TEST(PostedMessages, PeekWithoutRemovalLeavesTheMessage) {
    LoopGuard guard;
    Recorder r;
    PostMessage(r.hwnd, WM_USER + 1, 7, 8);
    MSG first, again, taken;
    ASSERT_TRUE(PeekMessage(first, false));
    ASSERT_TRUE(PeekMessage(again, false));
    ASSERT_TRUE(GetMessage(taken));
    EXPECT_EQ(first.message, WM_USER + 1);
    EXPECT_EQ(again.wParam, 7u);
    EXPECT_EQ(taken.lParam, 8);
    EXPECT_FALSE(PeekMessage(taken, true));
    EXPECT_TRUE(r.got.empty()); // peeking dispatches nothing
}

TEST(PostedMessages, DestroyedWindowLosesMessagesHarmlessly) {
    LoopGuard guard;
    auto *r = new Recorder;
    HWND old = r->hwnd;
    PostMessage(old, WM_USER, 1, 0);
    delete r; // drops the queued message
    EXPECT_FALSE(IsWindow(old));
    EXPECT_FALSE(PostMessage(old, WM_USER, 2, 0));
    EXPECT_EQ(SendMessage(old, WM_USER, 3, 0), 0);
    EXPECT_EQ(Pump(), 0);
    EXPECT_FALSE(DestroyWindow(old));
    Recorder fresh;
    EXPECT_NE(fresh.hwnd, old); // handles are never reused
    EXPECT_FALSE(PostMessage(0, WM_USER, 0, 0));
}

TEST(PostedMessages, WindowMayDestroyItselfInsideItsProcedure) {
    LoopGuard guard;
    int calls = 0;
    HWND self = 0;
    self = CreateWindow([&, big = std::vector<int>(100, 1)](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        DestroyWindow(self);
        return ++calls + big[99]; // the procedure's state outlives its own call
    });
    PostMessage(self, WM_USER, 0, 0);
    PostMessage(self, WM_USER, 0, 0);
    EXPECT_EQ(Pump(), 1);
    EXPECT_EQ(calls, 1);
}

TEST(SentMessages, RunAtOnceAndReturnTheResult) {
    LoopGuard guard;
    int depth = 0;
    HWND w = CreateWindow([&](HWND h, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
        if (msg == WM_QUERYENDSESSION)
            return DefWindowProc(h, msg, wp, 0);
        ++depth;
        return LRESULT(wp * 2);
    });
    PostMessage(w, WM_USER, 1, 0);
    EXPECT_EQ(SendMessage(w, WM_USER, 21, 0), 42);
    EXPECT_EQ(depth, 1); // the posted one still waits
    EXPECT_EQ(SendMessage(w, WM_QUERYENDSESSION, 0, 0), 1);
    LRESULT fromOther = -1;
    std::thread([&] { fromOther = SendMessage(w, WM_USER, 5, 0); }).join();
    EXPECT_EQ(fromOther, 0);
    EXPECT_EQ(depth, 1);
    SetWindowProc(w, nullptr); // now the default procedure answers
    EXPECT_EQ(SendMessage(w, WM_USER, 21, 0), 0);
    EXPECT_EQ(Pump(), 1);
    DestroyWindow(w);
}

TEST(Quit, EndsTheLoopOnlyAfterPostedMessages) {
    LoopGuard guard;
    Recorder r;
    PostMessage(r.hwnd, WM_USER, 1, 0);
    PostQuitMessage(3);
    PostMessage(r.hwnd, WM_USER, 2, 0);
    MSG msg;
    while (GetMessage(msg))
        DispatchMessage(msg);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(msg.hwnd, 0u);
    EXPECT_EQ(r.got, (Seen{{WM_USER, 1}, {WM_USER, 2}}));
    EXPECT_FALSE(PeekMessage(msg, true)); // taken once
}

// The shape of a modal wait: a handler runs its own loop until a quit posted
// to its window; the outer loop must neither stop nor lose anything.
TEST(NestedLoops, DispatchEverythingAndEndOnTheirOwnQuit) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    Recorder other;
    std::vector<std::string> log;
    HWND modal = CreateWindow(DefWindowProc);
    int nestedDepth = 0;
    other.hook = [&](UINT msg, WPARAM w) {
        log.push_back((msg == WM_TIMER ? "timer" : "msg") + std::to_string(w) + "@" +
                      std::to_string(nestedDepth));
        if (msg == WM_USER && w == 1) {
            PostMessage(modal, WM_QUIT, 0, 0); // queued behind 2 and 3
            ++nestedDepth;
            MSG m;
            while (GetMessage(m))
                DispatchMessage(m);
            --nestedDepth;
            log.push_back(m.hwnd == modal ? "nested quit" : "wrong quit");
        }
    };
    SetTimer(other.hwnd, 9, 100);
    guard.Advance(100);
    PostMessage(other.hwnd, WM_USER, 1, 0);
    PostMessage(other.hwnd, WM_USER, 2, 0);
    PostMessage(other.hwnd, WM_USER, 3, 0);
    Pump();
    PostMessage(other.hwnd, WM_USER, 4, 0);
    Pump();
    EXPECT_EQ(log, (std::vector<std::string>{"msg1@0", "msg2@1", "msg3@1", "nested quit",
                                             "timer9@0", "msg4@0"}));
    KillTimer(other.hwnd, 9);
    DestroyWindow(modal);
}

TEST(NestedLoops, SeeThroughLoopFdWhatWasDueBeforeTheHandler) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    Recorder r;
    std::vector<bool> readable;
    r.hook = [&](UINT msg, WPARAM) {
        if (msg == WM_USER)
            readable.push_back(LoopFdReadable());
    };
    PostMessage(r.hwnd, WM_USER, 1, 0);
    PostMessage(r.hwnd, WM_USER, 2, 0); // waits while the first is handled
    SetTimer(r.hwnd, 1, 50);
    guard.Advance(50); // due while the second is handled
    Pump();
    EXPECT_EQ(readable, (std::vector<bool>{true, true}));
    EXPECT_EQ(r.got.back().first, WM_TIMER);
    EXPECT_FALSE(LoopFdReadable()); // and quiet once nothing is due
    KillTimer(r.hwnd, 1);
}

// The first timer's expiry is consumed when it is taken; the second, due as
// well, must still show while the first one's handler runs.
TEST(NestedLoops, SeeTheSecondOfTwoDueTimers) {
    LoopGuard guard;
    Recorder r;
    std::vector<bool> readable;
    r.hook = [&](UINT, WPARAM) { readable.push_back(LoopFdReadable()); };
    SetTimer(r.hwnd, 1, 20);
    SetTimer(r.hwnd, 2, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MSG msg;
    ASSERT_TRUE(GetMessage(msg));
    DispatchMessage(msg);
    KillTimer(r.hwnd, 1);
    KillTimer(r.hwnd, 2);
    EXPECT_EQ(readable, (std::vector<bool>{true}));
}

TEST(Timers, FireAfterTheirIntervalAndCoalesce) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    Recorder r;
    std::uint32_t ticks = GetTickCount(); // follows the fake clock too
    ASSERT_EQ(SetTimer(r.hwnd, 5, 1000), 5u);
    guard.Advance(999);
    EXPECT_EQ(GetTickCount() - ticks, 999u);
    EXPECT_EQ(Pump(), 0);
    guard.Advance(1);
    EXPECT_EQ(Pump(), 1);
    EXPECT_EQ(r.got, (Seen{{WM_TIMER, 5}}));
    guard.Advance(4500); // four and a half intervals: one tick
    EXPECT_EQ(Pump(), 1);
    guard.Advance(499); // missed ticks do not shift the phase
    EXPECT_EQ(Pump(), 0);
    guard.Advance(1);
    EXPECT_EQ(Pump(), 1);
    EXPECT_EQ(SetTimer(r.hwnd, 5, 300), 5u); // restart with a new interval
    guard.Advance(299);
    EXPECT_EQ(Pump(), 0);
    guard.Advance(1);
    EXPECT_EQ(Pump(), 1);
    EXPECT_TRUE(KillTimer(r.hwnd, 5));
    EXPECT_FALSE(KillTimer(r.hwnd, 5));
    guard.Advance(10000);
    EXPECT_EQ(Pump(), 0);
}

TEST(Timers, NeverStarvePostedMessagesAndAreNeverLostUnderLoad) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    Recorder r;
    int posts = 0;
    r.hook = [&](UINT msg, WPARAM) {
        if (msg == WM_USER && ++posts < 1000)
            PostMessage(r.hwnd, WM_USER, 0, 0); // a steady flood
        if (msg == WM_USER)
            guard.Advance(10); // the timer is due again and again meanwhile
    };
    SetTimer(r.hwnd, 1, 10);
    guard.Advance(10);
    PostMessage(r.hwnd, WM_USER, 0, 0);
    Pump();
    ASSERT_EQ(r.got.size(), 1001u);
    for (std::size_t i = 0; i < 1000; ++i)
        EXPECT_EQ(r.got[i].first, WM_USER) << i;
    EXPECT_EQ(r.got[1000], (std::pair<UINT, WPARAM>{WM_TIMER, 1})); // once, as soon as idle
    KillTimer(r.hwnd, 1);
}

TEST(Timers, BelongToTheirWindowAndThread) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    auto *r = new Recorder;
    HWND h = r->hwnd;
    SetTimer(h, 1, 100);
    SetTimer(h, 2, 100);
    EXPECT_EQ(LiveTimerCount(), 2u);
    UINT_PTR fromOther = 1;
    std::thread([&] { fromOther = SetTimer(h, 3, 100); }).join();
    EXPECT_EQ(fromOther, 0u);
    EXPECT_EQ(SetTimer(h, 0, 100), 0u);
    EXPECT_EQ(SetTimer(0, 4, 100), 0u);
    delete r;
    EXPECT_EQ(LiveTimerCount(), 0u);
    guard.Advance(1000);
    EXPECT_EQ(Pump(), 0);
}

TEST(Timers, RealClockWakesABlockedLoop) {
    LoopGuard guard;
    Recorder r;
    SetTimer(r.hwnd, 1, 20);
    MSG msg;
    ASSERT_TRUE(GetMessage(msg));
    EXPECT_EQ(msg.message, WM_TIMER);
    KillTimer(r.hwnd, 1);
}

TEST(Timers, FakeClockAdvancedElsewhereWakesABlockedLoop) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    Recorder r;
    SetTimer(r.hwnd, 1, 30000);
    std::thread advancer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        guard.Advance(30000);
    });
    MSG msg;
    ASSERT_TRUE(GetMessage(msg)); // a hang here is caught by the guard
    EXPECT_EQ(msg.message, WM_TIMER);
    advancer.join();
    KillTimer(r.hwnd, 1);
}

TEST(Threads, PostFromAnotherThreadWakesABlockedGetMessage) {
    LoopGuard guard;
    Recorder r;
    std::thread poster([h = r.hwnd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PostMessage(h, WM_USER, 77, 0);
    });
    MSG msg;
    ASSERT_TRUE(GetMessage(msg)); // a hang here is caught by the guard
    EXPECT_EQ(msg.wParam, 77u);
    poster.join();
}

TEST(Threads, ManyPostersKeepTheirOwnOrder) {
    LoopGuard guard;
    Recorder r;
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([h = r.hwnd, t] {
            for (int i = 0; i < kEach; ++i)
                PostMessage(h, WM_USER + t, WPARAM(i), 0);
        });
    std::vector<int> next(kThreads, 0);
    MSG msg;
    for (int n = 0; n < kThreads * kEach; ++n) {
        ASSERT_TRUE(GetMessage(msg));
        int t = int(msg.message - WM_USER);
        ASSERT_EQ(msg.wParam, WPARAM(next[t]++)) << "thread " << t;
    }
    for (auto &p : posters)
        p.join();
}

TEST(Threads, WindowsOfAnEndedThreadRefusePosts) {
    LoopGuard guard;
    HWND theirs = 0;
    std::thread([&] {
        theirs = CreateWindow(DefWindowProc);
        PostMessage(theirs, WM_USER, 0, 0);
    }).join();
    EXPECT_FALSE(IsWindow(theirs));
    EXPECT_FALSE(PostMessage(theirs, WM_USER, 0, 0));
    EXPECT_FALSE(DestroyWindow(theirs));
}

namespace {
struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        close(fd[0]);
        close(fd[1]);
    }
    void Put(char c = 'x') { EXPECT_EQ(write(fd[1], &c, 1), 1); }
    char Get() {
        char c = 0;
        EXPECT_EQ(read(fd[0], &c, 1), 1);
        return c;
    }
};
} // namespace

// The other event loop's wait replaces ours; things it brings about (here a
// post from another thread) end the wait as before.
TEST(Threads, AWaitHookReplacesTheBlockingWait) {
    LoopGuard guard;
    Recorder r;
    int waits = 0;
    SetLoopWaitHook([&] {
        ++waits;
        pollfd p{LoopFd(), POLLIN, 0};
        poll(&p, 1, -1);
    });
    std::thread poster([h = r.hwnd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PostMessage(h, WM_USER, 5, 0);
    });
    MSG msg;
    ASSERT_TRUE(GetMessage(msg));
    poster.join();
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_EQ(waits, 1);
    PostMessage(r.hwnd, WM_USER, 6, 0);
    ASSERT_TRUE(GetMessage(msg)); // nothing to wait for: the hook is not called
    EXPECT_EQ(waits, 1);
    SetLoopWaitHook(nullptr);
}

TEST(FdWatches, RunWhenReadyUntilRemoved) {
    LoopGuard guard;
    Recorder r;
    Pipe p;
    int calls = 0;
    ASSERT_TRUE(AddFdWatch(p.fd[0], EPOLLIN, [&](int fd, std::uint32_t ev) {
        ++calls;
        EXPECT_EQ(fd, p.fd[0]);
        EXPECT_TRUE(ev & EPOLLIN);
        PostMessage(r.hwnd, WM_USER, WPARAM(p.Get()), 0);
    }));
    EXPECT_FALSE(AddFdWatch(p.fd[0], EPOLLIN, [](int, std::uint32_t) {}));
    EXPECT_EQ(Pump(), 0);
    p.Put('a');
    MSG msg;
    ASSERT_TRUE(GetMessage(msg)); // woken by the fd, then by the post it made
    EXPECT_EQ(msg.wParam, WPARAM('a'));
    EXPECT_EQ(LiveFdWatchCount(), 1u);
    ASSERT_TRUE(RemoveFdWatch(p.fd[0]));
    EXPECT_FALSE(RemoveFdWatch(p.fd[0]));
    p.Put('b');
    EXPECT_EQ(Pump(), 0);
    EXPECT_EQ(calls, 1);
}

TEST(FdWatches, ModifyNarrowsWhatIsReported) {
    LoopGuard guard;
    Pipe p;
    std::vector<std::uint32_t> seen;
    ASSERT_TRUE(AddFdWatch(p.fd[1], EPOLLOUT, [&](int fd, std::uint32_t ev) {
        seen.push_back(ev);
        ModifyFdWatch(fd, 0); // writable for ever: ask once
    }));
    Pump();
    Pump();
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{EPOLLOUT}));
    EXPECT_TRUE(ModifyFdWatch(p.fd[1], EPOLLOUT));
    Pump();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_FALSE(ModifyFdWatch(p.fd[0], EPOLLIN)); // not watched
    RemoveFdWatch(p.fd[1]);
}

// A callback that waits in a nested loop while its own fd stays ready: the
// nested loop must go on serving the rest without calling it again or spinning.
TEST(FdWatches, AreNeverNestedInThemselves) {
    LoopGuard guard;
    Pipe mine, other;
    Recorder r;
    int depth = 0, maxDepth = 0, otherCalls = 0, mineCalls = 0;
    ASSERT_TRUE(AddFdWatch(mine.fd[0], EPOLLIN, [&](int, std::uint32_t) {
        ++mineCalls;
        maxDepth = std::max(maxDepth, ++depth);
        if (depth == 1) {
            other.Put();
            MSG msg;
            while (GetMessage(msg)) // ends on the quit the other watch posts
                DispatchMessage(msg);
            mine.Get();
        }
        --depth;
    }));
    ASSERT_TRUE(AddFdWatch(other.fd[0], EPOLLIN, [&](int, std::uint32_t) {
        ++otherCalls;
        other.Get();
        PostMessage(r.hwnd, WM_QUIT, 0, 0);
    }));
    mine.Put();
    Pump();
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(otherCalls, 1);
    mine.Put(); // back in epoll once the callback returned
    Pump();
    EXPECT_EQ(mineCalls, 2);
    EXPECT_EQ(otherCalls, 2);
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(depth, 0);
    RemoveFdWatch(mine.fd[0]);
    RemoveFdWatch(other.fd[0]);
}

TEST(FdWatches, CallbackMayRemoveItsOwnWatch) {
    LoopGuard guard;
    Pipe p;
    int calls = 0;
    AddFdWatch(p.fd[0], EPOLLIN, [&, pad = std::vector<int>(64)](int fd, std::uint32_t) {
        RemoveFdWatch(fd);
        calls += 1 + pad[63];
    });
    p.Put();
    Pump();
    Pump();
    EXPECT_EQ(calls, 1);
}

namespace {
// Runs f on another thread after ms milliseconds.
std::thread Later(int ms, std::function<void()> f) {
    return std::thread([ms, f = std::move(f)] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        f();
    });
}
} // namespace

// The wait looks at the loop and dispatches nothing: what ended it is still
// there for the next pump.
TEST(WaitMessageTimeout, EndsOnWhatIsDueWithoutDispatchingIt) {
    LoopGuard guard;
    Recorder r;
    EXPECT_FALSE(WaitMessageTimeout(0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitMessageTimeout(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

    std::thread poster = Later(20, [h = r.hwnd] { PostMessage(h, WM_USER, 1, 0); });
    EXPECT_TRUE(WaitMessageTimeout(10000));
    poster.join();
    EXPECT_TRUE(r.got.empty());
    EXPECT_TRUE(WaitMessageTimeout(-1)); // still due
    EXPECT_EQ(Pump(), 1);

    PostQuitMessage(0);
    EXPECT_TRUE(WaitMessageTimeout(0));
    MSG msg;
    EXPECT_FALSE(GetMessage(msg));

    Pipe p;
    int calls = 0;
    ASSERT_TRUE(AddFdWatch(p.fd[0], EPOLLIN, [&](int, std::uint32_t) {
        ++calls;
        p.Get();
    }));
    std::thread writer = Later(20, [&] { p.Put(); });
    EXPECT_TRUE(WaitMessageTimeout(10000));
    writer.join();
    EXPECT_EQ(calls, 0);
    Pump();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(WaitMessageTimeout(0));
    RemoveFdWatch(p.fd[0]);

    SetTimer(r.hwnd, 1, 20);
    EXPECT_TRUE(WaitMessageTimeout(10000));
    ASSERT_TRUE(PeekMessage(msg, true));
    EXPECT_EQ(msg.message, WM_TIMER);
    KillTimer(r.hwnd, 1);
}

// Timers count on the fake clock, the wait's own limit on the real one.
TEST(WaitMessageTimeout, TimersFollowTheFakeClock) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    Recorder r;
    SetTimer(r.hwnd, 1, 100);
    EXPECT_FALSE(WaitMessageTimeout(150)); // real time passing makes nothing due
    std::thread early = Later(10, [&] { guard.Advance(50); });
    EXPECT_FALSE(WaitMessageTimeout(60)); // woken, but nothing is due yet
    early.join();
    std::thread due = Later(20, [&] { guard.Advance(50); });
    EXPECT_TRUE(WaitMessageTimeout(10000));
    due.join();
    MSG msg;
    ASSERT_TRUE(PeekMessage(msg, true));
    EXPECT_EQ(msg.message, WM_TIMER);
    KillTimer(r.hwnd, 1);
}

// With another event loop in charge, the wait runs it, and its loop must
// give control back by the wait's time limit.
TEST(WaitMessageTimeout, RunsTheWaitHookNoLongerThanItsLimit) {
    LoopGuard guard;
    Recorder r;
    int hooks = 0;
    SetLoopWaitHook([&] {
        ++hooks;
        pollfd p{LoopFd(), POLLIN, 0};
        poll(&p, 1, -1);
    });
    EXPECT_FALSE(WaitMessageTimeout(30));
    EXPECT_GE(hooks, 1);
    EXPECT_FALSE(LoopFdReadable()); // the limit is gone with the wait

    hooks = 0;
    std::thread poster = Later(20, [h = r.hwnd] { PostMessage(h, WM_USER, 1, 0); });
    EXPECT_TRUE(WaitMessageTimeout(10000));
    poster.join();
    EXPECT_EQ(hooks, 1);
    EXPECT_TRUE(WaitMessageTimeout(10000)); // already due: no hook
    EXPECT_EQ(hooks, 1);
    EXPECT_EQ(Pump(), 1);

    SetTimer(r.hwnd, 1, 20); // a timer before the limit still ends the wait
    EXPECT_TRUE(WaitMessageTimeout(10000));
    KillTimer(r.hwnd, 1);
    SetLoopWaitHook(nullptr);
}

TEST(Signals, ArriveThroughTheLoop) {
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    {
        LoopGuard guard;
        BlockTerminationSignals();
        std::vector<int> got;
        SetSignalHandler([&](int signo) { got.push_back(signo); });
        kill(getpid(), SIGTERM);
        kill(getpid(), SIGHUP);
        MSG msg;
        while (got.size() < 2)
            if (!PeekMessage(msg, true))
                poll(nullptr, 0, 1);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<int>{SIGHUP, SIGTERM}));
        SetSignalHandler(nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}
