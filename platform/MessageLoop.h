// Window handles, posted messages, timers and fd readiness on one thread per
// message queue, in the manner of the Windows message loop the components
// were designed for. Every thread that creates a window gets its own queue.
//
// Loops nest freely: a handler may call GetMessage/PeekMessage again, and
// everything of the thread is dispatched inside. LoopFd() stays readable while
// anything is due, also while a handler runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace pv {

using HWND = std::uintptr_t; // 0 is never a window; handles are never reused
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using UINT_PTR = std::uintptr_t;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ENDSESSION = 0x0016;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_USER = 0x0400;

struct MSG {
    HWND hwnd = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// The window procedure. Messages a component does not handle should return
// DefWindowProc(...).
using WNDPROC = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// 1 for WM_QUERYENDSESSION (the session may end), 0 for everything else.
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Creates a window owned by the calling thread.
HWND CreateWindow(WNDPROC proc);
// Destroys the window and its timers; messages still queued for it are dropped.
// Only the owning thread may destroy a window. Safe inside its own procedure.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
// Replaces the procedure (a socket clears it before destroying its window).
// A call in progress finishes with the old one. An empty procedure means
// DefWindowProc.
bool SetWindowProc(HWND hwnd, WNDPROC proc);

// Thread-safe; FIFO per owning thread; wakes a waiting loop. False when the
// window does not exist (the message is dropped).
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Posts to the calling thread's queue without a window (hwnd 0).
bool PostThreadMessage(UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the procedure at once. Only on the owning thread; elsewhere, or for a
// window that does not exist, nothing is called and the result is 0.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Waits for the next message of the calling thread. Returns false when the
// message is WM_QUIT (which is still stored in msg; wParam holds the exit code
// of PostQuitMessage, hwnd the window a WM_QUIT was posted to).
bool GetMessage(MSG &msg);
// Takes (remove=true) or looks at the next message without waiting. A WM_QUIT
// is returned like any other message (result true).
bool PeekMessage(MSG &msg, bool remove);
// Calls the target window's procedure; a message for a destroyed window, for a
// window of another thread or for no window is ignored (returns 0).
LRESULT DispatchMessage(const MSG &msg);

// The calling thread's loop ends once no posted message is waiting:
// GetMessage/PeekMessage return WM_QUIT (hwnd 0) after the queue has drained.
void PostQuitMessage(int exitCode);

// Timers of a window of the calling thread: WM_TIMER (wParam = id) is produced
// only when no posted message waits, and at most one per timer is pending, so
// a timer that came due under load fires once as soon as the queue is empty.
// Re-setting an existing id restarts it with the new interval. Intervals are
// clamped to 10..0x7FFFFFFF ms. Returns id; 0 on failure (no such window,
// a window of another thread, id 0).
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs);
bool KillTimer(HWND hwnd, UINT_PTR id);

// File descriptor readiness, for the socket layer. events/revents are epoll
// bits (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP, EPOLLRDHUP). The callback runs
// on the watching thread from inside GetMessage/PeekMessage, never nested in
// itself. Watches are level-triggered: a callback must consume the readiness
// or narrow the watch with ModifyFdWatch, and must tolerate readiness that a
// nested loop has consumed meanwhile. Remove the watch before closing the fd.
// All three work on the calling thread's watches; AddFdWatch fails for an fd
// already watched or one epoll cannot watch.
using FdCallback = std::function<void(int fd, std::uint32_t revents)>;
bool AddFdWatch(int fd, std::uint32_t events, FdCallback cb);
bool ModifyFdWatch(int fd, std::uint32_t events);
bool RemoveFdWatch(int fd);

// Signals SIGTERM, SIGINT and SIGHUP: call BlockTerminationSignals() in main
// before any thread starts; the handler then runs from the loop of the thread
// that called SetSignalHandler (as an fd watch). An empty handler stops it.
void BlockTerminationSignals();
void SetSignalHandler(std::function<void(int signo)> handler);

// Milliseconds, 32-bit like the Windows tick count: the monotonic clock, or
// the calling thread's FakeClock while one is installed.
std::uint32_t GetTickCount();

// The loop's clock. Tests install a FakeClock; timers then follow it.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::uint64_t NowMs() = 0;
};

class FakeClock : public Clock {
  public:
    std::uint64_t NowMs() override;
    // Moves time forward and wakes the loops using this clock so due timers
    // fire. Any thread may call it.
    void Advance(std::uint64_t ms);

  private:
    std::atomic<std::uint64_t> now_{1000000};
};

// Installs a clock for the calling thread's loop (nullptr: the real one).
// Running timers restart their interval on the new clock. An installed clock
// is virtual: the loop never sleeps on it, only FakeClock::Advance wakes it.
void SetLoopClock(std::shared_ptr<Clock> clock);

// Diagnostics for tests: live windows, timers and fd watches of the calling
// thread.
std::size_t LiveWindowCount();
std::size_t LiveTimerCount();
std::size_t LiveFdWatchCount();

// The loop's epoll descriptor (readable when anything is due), so another
// event loop (Qt) can drive this one with PeekMessage.
int LoopFd();

// Waits up to timeoutMs (negative: without limit) until the calling thread's
// loop has something due: a posted message or quit, a timer due on the loop's
// clock, a watched fd that is ready. Dispatches nothing and runs no fd
// callback. True when something is due, false when the time ran out. The
// timeout counts real time, also under a FakeClock, whose Advance ends the
// wait when it makes a timer due. With a wait hook (below) the other event
// loop runs meanwhile, until the timeout at the latest.
bool WaitMessageTimeout(int timeoutMs);

// Replaces the blocking wait of the calling thread's GetMessage and
// WaitMessageTimeout, so that the other event loop keeps running inside a
// nested wait of this one: the hook runs that loop until LoopFd() is readable
// (returning earlier is harmless). An empty hook restores the plain wait.
void SetLoopWaitHook(std::function<void()> wait);

} // namespace pv
