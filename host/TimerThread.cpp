#include "host/TimerThread.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <pthread.h>

#include "platform/Application.h"

namespace pv {

namespace {
std::atomic<int> gLive{0};
}

std::uint64_t TTimerThread::Shared::Now() const {
    if (clock)
        return clock->NowMs();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

TTimerThread::TTimerThread(HWND window, UINT message, std::uint16_t interval, bool paused,
                           std::shared_ptr<Clock> clock)
    : shared_(std::make_shared<Shared>()) {
    shared_->window = window;
    shared_->message = message;
    shared_->interval = interval;
    shared_->paused = paused;
    shared_->clock = std::move(clock);
    // The first step is one interval from now, as the caller sees now.
    shared_->due = shared_->Now() + interval;
    // Started with every signal blocked: the loop's signalfd is their reader.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    ++gLive;
    try {
        std::thread(Body, shared_).detach();
    } catch (...) {
        --gLive;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TTimerThread::~TTimerThread() {
    {
        std::lock_guard<std::mutex> lock(shared_->m);
        shared_->stop = true;
        shared_->paused = false;
    }
    shared_->cv.notify_all();
}

void TTimerThread::Pause() {
    std::lock_guard<std::mutex> lock(shared_->m);
    shared_->paused = true;
}

void TTimerThread::Resume() {
    {
        std::lock_guard<std::mutex> lock(shared_->m);
        if (shared_->paused)
            shared_->due = shared_->Now() + shared_->interval;
        shared_->paused = false;
    }
    shared_->cv.notify_all();
}

int TTimerThread::LiveCount() {
    return gLive;
}

void TTimerThread::Body(std::shared_ptr<Shared> s) {
    std::unique_lock<std::mutex> lock(s->m);
    auto woken = [&] { return s->stop || s->paused; };
    for (;;) {
        s->cv.wait(lock, [&] { return s->stop || !s->paused; });
        if (s->stop)
            break;
        // Wait until the step is due; stopped or paused meanwhile: no step.
        bool interrupted = false;
        while (!interrupted && s->Now() < s->due) {
            const auto left = std::chrono::milliseconds(s->clock ? 1 : s->due - s->Now());
            interrupted = s->cv.wait_for(lock, left, woken);
        }
        if (interrupted)
            continue;
        // The interval is read anew for every step; missed steps are not made up.
        s->due = std::max(s->due + s->interval, s->Now() + 1);
        if (!Application().Terminated() && !s->stepPending.exchange(true))
            PostMessage(s->window, s->message, 0, 0);
    }
    lock.unlock();
    --gLive;
}

} // namespace pv
