#include "host/ServiceHelper.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sched.h>

#include <sys/eventfd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace pv {

namespace {
constexpr int VER_PLATFORM_WIN32_NT = 2;
constexpr std::size_t kArgumentLimit = 255;
} // namespace

bool FindServiceSwitch(const std::vector<std::string> &args, const std::string &param) {
    if (param.empty())
        return false;
    for (const std::string &whole : args) {
        const std::string arg = whole.substr(0, kArgumentLimit);
        if (arg.size() < 1 + param.size() || (arg[0] != '-' && arg[0] != '/'))
            continue;
        if (!SameText(arg.substr(1, param.size()), param))
            continue;
        const std::size_t end = 1 + param.size();
        if (end == arg.size() || arg[end] == ':' || arg[end] == '=')
            return true;
    }
    return false;
}

std::vector<std::string> ProgramArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        args.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    if (!args.empty())
        args.erase(args.begin()); // the program's own name
    return args;
}

int SystemPlatformId() {
    static const int id = [] {
        utsname info{};
        if (uname(&info) != 0) {
            const int code = errno;
            throw Exception("System Error.  Code: " + std::to_string(code) + ".\r\n" +
                            SysErrorMessage(code));
        }
        return VER_PLATFORM_WIN32_NT;
    }();
    return id;
}

TServiceHelper::TServiceHelper() : TServiceHelper(TTrayWatchPlace::FromEnvironment()) {}

TServiceHelper::TServiceHelper(TTrayWatchPlace place, TSession &session) : session_(session) {
    SystemPlatformId();
    stop_ = std::make_shared<TWaitThread::StopEvent>();
    stop_->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_->fd < 0)
        throw Exception("Cannot create event:" + SysErrorMessage(errno));
    window_ =
        CreateWindow([this](HWND h, UINT m, WPARAM w, LPARAM l) { return WndProc(h, m, w, l); });
    // A top-level window of the program: the session's questions reach it.
    session_.AddWindow(window_);
    try {
        TWaitThread::Start(window_, stop_, std::move(place));
    } catch (...) {
        session_.RemoveWindow(window_);
        DestroyWindow(window_);
        throw;
    }
    sched_yield();
    PostMessage(window_, WM_SERVICE_CHECK, 0, 0);
}

TServiceHelper::~TServiceHelper() {
    // The thread ends by itself and takes the event with it.
    const std::uint64_t one = 1;
    ssize_t n = write(stop_->fd, &one, sizeof one);
    (void)n;
    if (filter_)
        session_.RemoveFilter(filter_);
    session_.RemoveWindow(window_);
    DestroyWindow(window_);
}

void TServiceHelper::ServiceCheck() {
    if (ServiceParam.empty())
        return;
    active_ = FindServiceSwitch(CommandLine, ServiceParam) &&
              SystemPlatformId() == VER_PLATFORM_WIN32_NT && ServiceMode;
    if (active_ && !filter_) {
        // Whether the session ends or the ending was called off, the
        // application must not see it: it would end the program.
        filter_ = session_.AddFilter([this](UINT msg, WPARAM, LPARAM) {
            if (msg != WM_ENDSESSION)
                return false;
            if (OnEndSession)
                OnEndSession(this);
            return true;
        });
    }
}

LRESULT TServiceHelper::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SERVICE_CHECK:
        ServiceCheck();
        return 0;
    case WM_TRAY_CREATED:
        trayState_ = tsPresent;
        if (OnTrayCreated)
            OnTrayCreated(this);
        return 0;
    case WM_TRAY_REMOVED:
        trayState_ = tsAbsent;
        if (OnTrayRemoved)
            OnTrayRemoved(this);
        return 0;
    case WM_QUERYENDSESSION:
        if (!active_)
            break;
        if (OnQueryEndSession)
            OnQueryEndSession(this);
        return 1;
    default:
        break;
    }
    return DefWindowProc(hwnd, msg, wParam, lParam);
}

} // namespace pv
