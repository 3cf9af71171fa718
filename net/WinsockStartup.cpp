#include "net/WinsockStartup.h"

#include <atomic>
#include <csignal>
#include <mutex>

namespace pv {

namespace {
std::mutex gLibLock;
std::atomic<bool> gLoaded{false};
int gLiveCount = 0;
} // namespace

void EnsureWinsockStarted() {
    if (gLoaded.load(std::memory_order_acquire))
        return;
    std::lock_guard lock(gLibLock);
    if (gLoaded.load(std::memory_order_relaxed))
        return;
    // A peer that closes while we write must give EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    gLoaded.store(true, std::memory_order_release);
}

void WinsockAddRef() {
    std::lock_guard lock(gLibLock);
    ++gLiveCount;
}

void WinsockRelease() {
    std::lock_guard lock(gLibLock);
    --gLiveCount;
}

int WinsockLiveCount() {
    std::lock_guard lock(gLibLock);
    return gLiveCount;
}

void UnloadWinsock() {
    std::lock_guard lock(gLibLock);
    if (gLoaded.load(std::memory_order_relaxed) && gLiveCount <= 0)
        gLoaded.store(false, std::memory_order_release);
}

bool WinsockLoaded() {
    return gLoaded.load(std::memory_order_acquire);
}

} // namespace pv
