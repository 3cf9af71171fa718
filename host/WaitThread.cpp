#include "host/WaitThread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "host/TrayProbes.h"

namespace pv {

namespace {

std::atomic<int> gLive{0};

// One tray host as the thread follows it: who owns the name or selection,
// the descriptor that tells when its process ends, and whether it did.
template <class Id> struct Host {
    Id owner{};
    Id dead{}; // the owner whose process ended while it still held on
    int pidfd = -1;

    // Follows a change of the owner; pid() is asked only for a new one.
    template <class PidOf> void Follow(const Id &now, PidOf pid) {
        if (now == owner)
            return;
        Close();
        owner = now;
        dead = Id{};
        if (owner != Id{})
            pidfd = OpenProcessFd(pid());
    }
    void ProcessEnded() {
        dead = owner;
        Close();
    }
    bool Present() const { return owner != Id{} && owner != dead; }
    void Close() {
        if (pidfd >= 0)
            close(pidfd);
        pidfd = -1;
    }
    ~Host() { Close(); }
};

class Watch {
  public:
    Watch(HWND window, std::shared_ptr<TWaitThread::StopEvent> stop, TTrayWatchPlace place)
        : window_(window), stop_(std::move(stop)), x_(place.Display), bus_(place.BusAddress) {}

    void Run() {
        Look();
        Report(true);
        for (;;) {
            pollfd fds[5];
            int n = 0;
            fds[n++] = {stop_->fd, POLLIN, 0};
            const int xfd = x_.Fd(), busfd = bus_.Fd();
            if (xfd >= 0)
                fds[n++] = {xfd, POLLIN, 0};
            if (busfd >= 0)
                fds[n++] = {busfd, POLLIN, 0};
            if (xHost_.pidfd >= 0)
                fds[n++] = {xHost_.pidfd, POLLIN, 0};
            if (busHost_.pidfd >= 0)
                fds[n++] = {busHost_.pidfd, POLLIN, 0};
            // Nothing configured, nothing to look for again.
            const bool retry = (x_.Configured() && (!x_.Connected() || !x_.Notifies())) ||
                               (bus_.Configured() && !bus_.Connected());
            int ready = poll(fds, static_cast<nfds_t>(n), retry ? TWaitThread::kRetryMs : -1);
            if (ready < 0 && errno != EINTR)
                return; // a failed wait ends the thread quietly
            if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)))
                return;
            for (int i = 1; i < n && ready > 0; ++i) {
                if (!fds[i].revents)
                    continue;
                if (fds[i].fd == xHost_.pidfd)
                    xHost_.ProcessEnded();
                else if (fds[i].fd == busHost_.pidfd)
                    busHost_.ProcessEnded();
                else if (fds[i].fd == xfd)
                    x_.Handle();
                else if (fds[i].fd == busfd)
                    bus_.Handle();
            }
            Look();
            Report(false);
        }
    }

  private:
    // Connects where it may, asks where no event would tell, and follows the
    // owners.
    void Look() {
        if (!x_.Connected())
            x_.Connect();
        else if (!x_.Notifies())
            x_.Refresh();
        if (bus_.Configured()) {
            if (!bus_.Connected())
                bus_.Connect();
            else
                bus_.Handle(); // what a blocking call left queued
        }
        xHost_.Follow(x_.Owner(), [this] { return x_.OwnerPid(); });
        busHost_.Follow(bus_.Owner(), [this] { return bus_.OwnerPid(); });
    }

    // A change of host is a removal followed by a creation.
    void Report(bool first) {
        const bool present = xHost_.Present() || busHost_.Present();
        const std::uint32_t xId = xHost_.Present() ? xHost_.owner : 0;
        const std::string busId = busHost_.Present() ? busHost_.owner : std::string();
        if (first) {
            PostMessage(window_, present ? WM_TRAY_CREATED : WM_TRAY_REMOVED, 0, 0);
        } else if (present != reported_ || (present && (xId != xId_ || busId != busId_))) {
            if (reported_)
                PostMessage(window_, WM_TRAY_REMOVED, 0, 0);
            if (present)
                PostMessage(window_, WM_TRAY_CREATED, 0, 0);
        }
        reported_ = present;
        xId_ = xId;
        busId_ = busId;
    }

    HWND window_;
    std::shared_ptr<TWaitThread::StopEvent> stop_;
    TX11TrayProbe x_;
    TBusTrayProbe bus_;
    Host<std::uint32_t> xHost_;
    Host<std::string> busHost_;
    bool reported_ = false;
    std::uint32_t xId_ = 0;
    std::string busId_;
};

std::string Env(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

} // namespace

TTrayWatchPlace TTrayWatchPlace::FromEnvironment() {
    return TTrayWatchPlace{Env("DISPLAY"), Env("DBUS_SESSION_BUS_ADDRESS")};
}

TWaitThread::StopEvent::~StopEvent() {
    if (fd >= 0)
        close(fd);
}

void TWaitThread::Start(HWND window, std::shared_ptr<StopEvent> stop, TTrayWatchPlace place) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    ++gLive;
    try {
        std::thread([window, stop = std::move(stop), place = std::move(place)]() mutable {
            {
                Watch watch(window, std::move(stop), std::move(place));
                watch.Run();
            }
            --gLive;
        }).detach();
    } catch (...) {
        --gLive;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

int TWaitThread::LiveCount() {
    return gLive;
}

} // namespace pv
