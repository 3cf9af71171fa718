#include "host/TimerThread.h"

#include <chrono>
#include <csignal>
#include <thread>

#include <pthread.h>

#include "platform/Application.h"

namespace pv {

namespace {
std::atomic<int> gLive{0};
}

TTimerThread::TTimerThread(HWND window, UINT message, std::uint16_t interval, bool paused,
                           std::shared_ptr<Clock> clock)
    : shared_(std::make_shared<Shared>()) {
    shared_->window = window;
    shared_->message = message;
    shared_->interval = interval;
    shared_->paused = paused;
    shared_->clock = std::move(clock);
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
        shared_->paused = false;
    }
    shared_->cv.notify_all();
}

int TTimerThread::LiveCount() {
    return gLive;
}

void TTimerThread::Body(std::shared_ptr<Shared> s) {
    std::unique_lock<std::mutex> lock(s->m);
    for (;;) {
        s->cv.wait(lock, [&] { return s->stop || !s->paused; });
        if (s->stop)
            break;
        const std::uint16_t interval = s->interval;
        bool woken = false; // stopped or paused meanwhile: no step
        if (!s->clock) {
            woken = s->cv.wait_for(lock, std::chrono::milliseconds(interval),
                                   [&] { return s->stop || s->paused; });
        } else {
            const std::uint64_t due = s->clock->NowMs() + interval;
            while (!woken && s->clock->NowMs() < due)
                woken = s->cv.wait_for(lock, std::chrono::milliseconds(1),
                                       [&] { return s->stop || s->paused; });
        }
        if (woken || Application().Terminated())
            continue;
        if (!s->stepPending.exchange(true))
            PostMessage(s->window, s->message, 0, 0);
    }
    lock.unlock();
    --gLive;
}

} // namespace pv
