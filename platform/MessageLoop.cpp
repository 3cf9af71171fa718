#include "platform/MessageLoop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace pv {
namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kWakeTag = 0;
constexpr std::uint64_t kTimerTag = 1;
// Under a flood of posts the fds are still looked at every so many messages.
constexpr unsigned kFdPollEvery = 64;
constexpr UINT kTimerMinimum = 10;
constexpr UINT kTimerMaximum = 0x7FFFFFFF;

std::uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000 + std::uint64_t(ts.tv_nsec) / 1000000;
}

class RealClock : public Clock {
  public:
    std::uint64_t NowMs() override { return MonotonicMs(); }
};

const std::shared_ptr<Clock> &TheRealClock() {
    static auto *clock = new std::shared_ptr<Clock>(std::make_shared<RealClock>());
    return *clock;
}

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    std::uint64_t interval;
    std::uint64_t due;
};

struct FdWatch {
    int fd;
    std::uint32_t gen; // tells a stale epoll event from one for a reused fd number
    std::uint32_t events;
    FdCallback cb;
    bool running = false;   // its callback is on the stack
    bool suspended = false; // out of epoll while running, so a nested loop does not spin on it
    bool removed = false;
};

struct Queue {
    int epfd = -1, wakefd = -1, timerfd = -1;

    // Guarded by the registry mutex: other threads post and wake.
    std::deque<MSG> posted;
    bool quit = false;
    int quitCode = 0;
    bool signalled = false; // wakefd's counter is not zero
    Clock *clockId = nullptr;

    // The owning thread's alone.
    std::shared_ptr<Clock> clock = TheRealClock();
    bool virtualClock = false;
    std::vector<Timer> timers;
    std::uint64_t armed = kNever; // timerfd deadline
    std::unordered_map<int, std::shared_ptr<FdWatch>> watches;
    std::uint32_t nextGen = 0;
    unsigned sinceFdPoll = 0;
    std::function<void()> waitHook;
    // Real-clock end of a hooked WaitMessageTimeout: the timerfd keeps it,
    // so LoopFd turns readable by then and the hook returns.
    std::uint64_t waitUntil = kNever;

    ~Queue() {
        for (int fd : {epfd, wakefd, timerfd})
            if (fd >= 0)
                close(fd);
    }
};

struct Window {
    std::shared_ptr<Queue> queue;
    std::shared_ptr<const WNDPROC> proc;
};

struct Registry {
    std::mutex m;
    std::unordered_map<HWND, Window> windows;
    std::vector<Queue *> queues;
    HWND next = 0x1000;
};

Registry &Reg() {
    static auto *registry = new Registry;
    return *registry;
}

using Lock = std::lock_guard<std::mutex>;

// Both with the registry mutex held.
void Signal(Queue &q) {
    if (q.signalled)
        return;
    std::uint64_t one = 1;
    ssize_t n = write(q.wakefd, &one, sizeof one);
    (void)n;
    q.signalled = true;
}

void Drain(Queue &q) {
    if (!q.signalled)
        return;
    std::uint64_t value;
    ssize_t n = read(q.wakefd, &value, sizeof value);
    (void)n;
    q.signalled = false;
}

void ArmTimerFd(Queue &q, std::uint64_t deadline) {
    itimerspec its{};
    if (deadline != kNever) {
        its.it_value.tv_sec = time_t(deadline / 1000);
        its.it_value.tv_nsec = long(deadline % 1000) * 1000000;
        if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0)
            its.it_value.tv_nsec = 1; // zero would disarm
    }
    timerfd_settime(q.timerfd, TFD_TIMER_ABSTIME, &its, nullptr);
    q.armed = deadline;
}

void RetireQueue(const std::shared_ptr<Queue> &q);

struct QueueHolder {
    std::shared_ptr<Queue> q;
    ~QueueHolder() {
        if (q)
            RetireQueue(q);
    }
};
thread_local QueueHolder tls;

std::shared_ptr<Queue> NewQueue() {
    auto q = std::make_shared<Queue>();
    q->wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    q->timerfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    q->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (q->wakefd < 0 || q->timerfd < 0 || q->epfd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot create a message queue");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    epoll_ctl(q->epfd, EPOLL_CTL_ADD, q->wakefd, &ev);
    ev.data.u64 = kTimerTag;
    epoll_ctl(q->epfd, EPOLL_CTL_ADD, q->timerfd, &ev);
    q->clockId = q->clock.get();
    Lock lock(Reg().m);
    Reg().queues.push_back(q.get());
    return q;
}

// A thread ends: its windows go with it, so posts to them fail from now on.
void RetireQueue(const std::shared_ptr<Queue> &q) {
    std::vector<Window> gone; // procedures die outside the lock
    {
        Registry &r = Reg();
        Lock lock(r.m);
        for (auto it = r.windows.begin(); it != r.windows.end();) {
            if (it->second.queue == q) {
                gone.push_back(std::move(it->second));
                it = r.windows.erase(it);
            } else {
                ++it;
            }
        }
        std::erase(r.queues, q.get());
    }
}

Queue &ThisQueue() {
    if (!tls.q)
        tls.q = NewQueue();
    return *tls.q;
}

Queue *ExistingQueue() {
    return tls.q.get();
}

// Brings the wake eventfd and the timerfd in line with what is due, so that a
// loop (nested, or Qt's watching LoopFd) is never blind. With drain, a wake
// that is no longer needed is cleared too. Returns whether anything is due.
bool Settle(Queue &q, bool drain) {
    std::uint64_t now = q.timers.empty() ? 0 : q.clock->NowMs();
    bool timerDue = false;
    std::uint64_t next = kNever;
    for (const Timer &t : q.timers) {
        if (t.due <= now)
            timerDue = true;
        else
            next = std::min(next, t.due);
    }
    bool ready;
    {
        Lock lock(Reg().m);
        ready = !q.posted.empty() || q.quit || timerDue;
        if (ready)
            Signal(q);
        else if (drain)
            Drain(q);
    }
    if (q.virtualClock)
        next = kNever;
    next = std::min(next, q.waitUntil);
    // An expired timerfd stays readable until it is set again.
    if (next != q.armed || (q.armed != kNever && q.armed <= MonotonicMs()))
        ArmTimerFd(q, next);
    return ready;
}

bool TakeTimer(Queue &q, MSG &msg, bool remove) {
    std::uint64_t now = q.clock->NowMs();
    Timer *first = nullptr;
    for (Timer &t : q.timers)
        if (t.due <= now && (!first || t.due < first->due))
            first = &t;
    if (!first)
        return false;
    msg = MSG{first->hwnd, WM_TIMER, first->id, 0};
    if (remove) // all ticks missed meanwhile fold into this one
        first->due += ((now - first->due) / first->interval + 1) * first->interval;
    return true;
}

bool Take(Queue &q, MSG &msg, bool remove) {
    {
        Lock lock(Reg().m);
        if (!q.posted.empty()) {
            msg = q.posted.front();
            if (remove)
                q.posted.pop_front();
            return true;
        }
        if (q.quit) {
            msg = MSG{0, WM_QUIT, WPARAM(q.quitCode), 0};
            if (remove)
                q.quit = false;
            return true;
        }
    }
    return TakeTimer(q, msg, remove);
}

std::uint64_t WatchTag(const FdWatch &w) {
    return std::uint64_t(w.gen) << 32 | std::uint32_t(w.fd);
}

void RunWatch(Queue &q, const std::shared_ptr<FdWatch> &w, std::uint32_t revents) {
    Settle(q, false);
    struct Done {
        Queue &q;
        FdWatch &w;
        ~Done() {
            w.running = false;
            if (w.suspended && !w.removed) {
                epoll_event ev{};
                ev.events = w.events;
                ev.data.u64 = WatchTag(w);
                epoll_ctl(q.epfd, EPOLL_CTL_ADD, w.fd, &ev);
            }
            w.suspended = false;
        }
    } done{q, *w};
    w->running = true;
    w->cb(w->fd, revents);
}

// Waits up to timeoutMs (-1: for ever) for the loop's descriptors. With run,
// the callbacks of ready watches are called; without, the result tells
// whether a watch is ready.
bool Poll(Queue &q, int timeoutMs, bool run = true) {
    if (run)
        q.sinceFdPoll = 0;
    bool ready = false;
    epoll_event events[32];
    int n = epoll_wait(q.epfd, events, 32, timeoutMs);
    for (int i = 0; i < n; ++i) {
        std::uint64_t tag = events[i].data.u64;
        if (tag == kWakeTag || tag == kTimerTag)
            continue; // the queue itself says what is due
        auto it = q.watches.find(int(std::uint32_t(tag)));
        if (it == q.watches.end() || it->second->gen != std::uint32_t(tag >> 32))
            continue;
        std::shared_ptr<FdWatch> w = it->second;
        if (w->running) {
            if (!w->suspended) {
                epoll_ctl(q.epfd, EPOLL_CTL_DEL, w->fd, nullptr);
                w->suspended = true;
            }
            continue;
        }
        if (run)
            RunWatch(q, w, events[i].events);
        else
            ready = true;
    }
    return ready;
}

bool NextMessage(MSG &msg, bool remove, bool wait) {
    Queue &q = ThisQueue();
    bool polled = false;
    if (++q.sinceFdPoll >= kFdPollEvery) {
        Poll(q, 0);
        polled = true;
    }
    for (;;) {
        if (Take(q, msg, remove)) {
            Settle(q, false); // the caller is about to run a handler
            return true;
        }
        if (!polled) {
            Poll(q, 0);
            polled = true;
            continue;
        }
        if (Settle(q, true))
            continue; // something arrived meanwhile
        if (!wait)
            return false;
        if (q.waitHook) {
            auto hook = q.waitHook; // may replace itself
            hook();
            Poll(q, 0);
        } else {
            Poll(q, -1);
        }
    }
}

// Runs the wait hook with the deadline armed, so that the hook's loop ends
// by then; a nested wait brings its own and gives the outer one back.
void RunWaitHook(Queue &q, std::uint64_t until) {
    struct Deadline {
        Queue &q;
        std::uint64_t saved;
        ~Deadline() {
            q.waitUntil = saved;
            Settle(q, false);
        }
    } deadline{q, q.waitUntil};
    q.waitUntil = until;
    Settle(q, false);
    auto hook = q.waitHook; // may replace itself
    hook();
}

std::shared_ptr<const WNDPROC> OwnProc(HWND hwnd) {
    Queue *mine = ExistingQueue();
    if (!hwnd || !mine)
        return nullptr;
    Lock lock(Reg().m);
    auto it = Reg().windows.find(hwnd);
    if (it == Reg().windows.end() || it->second.queue.get() != mine)
        return nullptr;
    return it->second.proc;
}

sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

LRESULT DefWindowProc(HWND, UINT msg, WPARAM, LPARAM) {
    return msg == WM_QUERYENDSESSION ? 1 : 0;
}

HWND CreateWindow(WNDPROC proc) {
    ThisQueue();
    auto p = std::make_shared<const WNDPROC>(std::move(proc));
    Registry &r = Reg();
    Lock lock(r.m);
    HWND hwnd = r.next++;
    r.windows.emplace(hwnd, Window{tls.q, std::move(p)});
    return hwnd;
}

bool DestroyWindow(HWND hwnd) {
    Queue *mine = ExistingQueue();
    if (!mine)
        return false;
    std::shared_ptr<const WNDPROC> old; // may be running: dies when that call ends
    {
        Registry &r = Reg();
        Lock lock(r.m);
        auto it = r.windows.find(hwnd);
        if (it == r.windows.end() || it->second.queue.get() != mine)
            return false;
        old = std::move(it->second.proc);
        r.windows.erase(it);
        std::erase_if(mine->posted, [hwnd](const MSG &m) { return m.hwnd == hwnd; });
    }
    std::erase_if(mine->timers, [hwnd](const Timer &t) { return t.hwnd == hwnd; });
    return true;
}

bool IsWindow(HWND hwnd) {
    Lock lock(Reg().m);
    return Reg().windows.count(hwnd) != 0;
}

bool SetWindowProc(HWND hwnd, WNDPROC proc) {
    auto p = std::make_shared<const WNDPROC>(std::move(proc));
    Lock lock(Reg().m);
    auto it = Reg().windows.find(hwnd);
    if (it == Reg().windows.end())
        return false;
    p.swap(it->second.proc); // the old one dies after the lock is released
    return true;
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Registry &r = Reg();
    Lock lock(r.m);
    auto it = r.windows.find(hwnd);
    if (it == r.windows.end())
        return false;
    Queue &q = *it->second.queue;
    q.posted.push_back(MSG{hwnd, msg, wParam, lParam});
    Signal(q);
    return true;
}

bool PostThreadMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    Queue &q = ThisQueue();
    Lock lock(Reg().m);
    q.posted.push_back(MSG{0, msg, wParam, lParam});
    Signal(q);
    return true;
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<const WNDPROC> proc = OwnProc(hwnd);
    if (!proc)
        return 0;
    if (!*proc)
        return DefWindowProc(hwnd, msg, wParam, lParam);
    return (*proc)(hwnd, msg, wParam, lParam);
}

bool GetMessage(MSG &msg) {
    NextMessage(msg, true, true);
    return msg.message != WM_QUIT;
}

bool PeekMessage(MSG &msg, bool remove) {
    return NextMessage(msg, remove, false);
}

LRESULT DispatchMessage(const MSG &msg) {
    return SendMessage(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void PostQuitMessage(int exitCode) {
    Queue &q = ThisQueue();
    Lock lock(Reg().m);
    q.quit = true;
    q.quitCode = exitCode;
    Signal(q);
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs) {
    Queue *q = ExistingQueue();
    if (!id || !OwnProc(hwnd))
        return 0;
    std::uint64_t interval = std::clamp(elapseMs, kTimerMinimum, kTimerMaximum);
    std::uint64_t due = q->clock->NowMs() + interval;
    auto it = std::find_if(q->timers.begin(), q->timers.end(),
                           [&](const Timer &t) { return t.hwnd == hwnd && t.id == id; });
    if (it != q->timers.end())
        *it = Timer{hwnd, id, interval, due};
    else
        q->timers.push_back(Timer{hwnd, id, interval, due});
    Settle(*q, false); // a loop that is not ours (Qt) may be waiting on LoopFd
    return id;
}

bool KillTimer(HWND hwnd, UINT_PTR id) {
    Queue *q = ExistingQueue();
    if (!q)
        return false;
    return std::erase_if(q->timers, [&](const Timer &t) { return t.hwnd == hwnd && t.id == id; }) !=
           0;
}

bool AddFdWatch(int fd, std::uint32_t events, FdCallback cb) {
    Queue &q = ThisQueue();
    if (fd < 0 || q.watches.count(fd))
        return false;
    auto w = std::make_shared<FdWatch>();
    w->fd = fd;
    if (++q.nextGen == 0) // 0 would collide with the queue's own tags
        q.nextGen = 1;
    w->gen = q.nextGen;
    w->events = events;
    w->cb = std::move(cb);
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = WatchTag(*w);
    if (epoll_ctl(q.epfd, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    q.watches.emplace(fd, std::move(w));
    return true;
}

bool ModifyFdWatch(int fd, std::uint32_t events) {
    Queue *q = ExistingQueue();
    if (!q)
        return false;
    auto it = q->watches.find(fd);
    if (it == q->watches.end())
        return false;
    FdWatch &w = *it->second;
    w.events = events;
    if (w.suspended)
        return true; // applied when its callback returns
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = WatchTag(w);
    return epoll_ctl(q->epfd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

bool RemoveFdWatch(int fd) {
    Queue *q = ExistingQueue();
    if (!q)
        return false;
    auto it = q->watches.find(fd);
    if (it == q->watches.end())
        return false;
    std::shared_ptr<FdWatch> w = std::move(it->second);
    q->watches.erase(it);
    if (!w->suspended)
        epoll_ctl(q->epfd, EPOLL_CTL_DEL, fd, nullptr);
    w->removed = true;
    return true;
}

void BlockTerminationSignals() {
    sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void SetSignalHandler(std::function<void(int signo)> handler) {
    static int sigfd = -1;
    if (sigfd >= 0) {
        RemoveFdWatch(sigfd);
        close(sigfd);
        sigfd = -1;
    }
    if (!handler)
        return;
    BlockTerminationSignals(); // at least here, or the default action would win
    sigset_t set = TerminationSignals();
    sigfd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigfd < 0)
        throw std::system_error(errno, std::generic_category(), "signalfd");
    // One signal per call: the handler may replace itself and close this fd.
    AddFdWatch(sigfd, EPOLLIN, [handler = std::move(handler)](int fd, std::uint32_t) {
        signalfd_siginfo si{};
        if (read(fd, &si, sizeof si) == ssize_t(sizeof si))
            handler(int(si.ssi_signo));
    });
}

std::uint32_t GetTickCount() {
    Queue *q = ExistingQueue();
    return std::uint32_t(q ? q->clock->NowMs() : MonotonicMs());
}

std::uint64_t FakeClock::NowMs() {
    return now_.load();
}

void FakeClock::Advance(std::uint64_t ms) {
    now_ += ms;
    Lock lock(Reg().m);
    for (Queue *q : Reg().queues)
        if (q->clockId == this)
            Signal(*q);
}

void SetLoopClock(std::shared_ptr<Clock> clock) {
    Queue &q = ThisQueue();
    q.virtualClock = clock != nullptr;
    q.clock = clock ? std::move(clock) : TheRealClock();
    std::uint64_t now = q.clock->NowMs();
    for (Timer &t : q.timers)
        t.due = now + t.interval;
    {
        Lock lock(Reg().m);
        q.clockId = q.clock.get();
    }
    ArmTimerFd(q, kNever);
    Settle(q, false);
}

std::size_t LiveWindowCount() {
    Queue *mine = ExistingQueue();
    Lock lock(Reg().m);
    return std::count_if(Reg().windows.begin(), Reg().windows.end(),
                         [mine](const auto &w) { return w.second.queue.get() == mine; });
}

std::size_t LiveTimerCount() {
    Queue *q = ExistingQueue();
    return q ? q->timers.size() : 0;
}

std::size_t LiveFdWatchCount() {
    Queue *q = ExistingQueue();
    return q ? q->watches.size() : 0;
}

bool WaitMessageTimeout(int timeoutMs) {
    Queue &q = ThisQueue();
    const std::uint64_t end = timeoutMs < 0 ? kNever : MonotonicMs() + std::uint64_t(timeoutMs);
    for (;;) {
        if (Settle(q, true) || Poll(q, 0, false))
            return true;
        const std::uint64_t now = MonotonicMs();
        if (now >= end)
            return false;
        if (q.waitHook) {
            RunWaitHook(q, end);
            continue;
        }
        const std::uint64_t left = end == kNever ? kNever : end - now;
        if (Poll(q, left == kNever ? -1 : int(std::min<std::uint64_t>(left, kTimerMaximum)), false))
            return true;
    }
}

int LoopFd() {
    return ThisQueue().epfd;
}

void SetLoopWaitHook(std::function<void()> wait) {
    ThisQueue().waitHook = std::move(wait);
}

} // namespace pv
