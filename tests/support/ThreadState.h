// For tests that wake a blocked loop from another thread: instead of sleeping
// "long enough" first, wait until the loop's thread really sleeps in its wait.
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace pv::test {

// True once thread `tid` of this process is blocked in one of the calls a
// loop waits in (epoll_wait, poll and their relatives); false after timeoutMs.
inline bool WaitUntilBlocked(pid_t tid, int timeoutMs = 10000) {
    const long waits[] = {
#ifdef SYS_epoll_wait
        SYS_epoll_wait,
#endif
#ifdef SYS_poll
        SYS_poll,
#endif
#ifdef SYS_epoll_pwait2
        SYS_epoll_pwait2,
#endif
        SYS_epoll_pwait, SYS_ppoll};
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        // The first field is the call a blocked thread is in ("running" else).
        std::ifstream in(path);
        long call = -1;
        if (in >> call)
            for (long w : waits)
                if (call == w)
                    return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace pv::test
