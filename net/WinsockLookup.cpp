#include "net/WinsockLookup.h"

#include <functional>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "net/WinsockCalls.h"
#include "net/WinsockErrors.h"
#include "net/WinsockSelect.h"
#include "net/WinsockStartup.h"

namespace pv {

namespace {

struct LookupRequest {
    HWND window = 0;
    UINT msg = 0;
    bool done = false;
    int error = 0;
    THostEnt result;
};

struct LookupRegistry {
    std::mutex lock;
    std::map<HANDLE, LookupRequest> requests;
    HANDLE next = 1;
};

// Process-wide and never destroyed: workers may still finish during exit.
LookupRegistry &Lookups() {
    static LookupRegistry *r = new LookupRegistry;
    return *r;
}

void FinishLookup(HANDLE h, int error, THostEnt &&result) {
    LookupRegistry &reg = Lookups();
    HWND window;
    UINT msg;
    {
        std::lock_guard lock(reg.lock);
        auto it = reg.requests.find(h);
        if (it == reg.requests.end())
            return; // cancelled: the result is dropped
        it->second.done = true;
        it->second.error = error;
        it->second.result = std::move(result);
        window = it->second.window;
        msg = it->second.msg;
    }
    if (!PostMessage(window, msg, static_cast<WPARAM>(h),
                     WSAMAKESELECTREPLY(0, static_cast<unsigned>(error)))) {
        std::lock_guard lock(reg.lock);
        reg.requests.erase(h);
    }
}

HANDLE StartLookup(HWND window, UINT msg, std::function<void(HANDLE)> work) {
    EnsureWinsockStarted();
    if (!IsWindow(window)) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    LookupRegistry &reg = Lookups();
    HANDLE h;
    {
        std::lock_guard lock(reg.lock);
        h = reg.next++;
        reg.requests[h] = LookupRequest{window, msg, false, 0, {}};
    }
    try {
        std::thread([h, work = std::move(work)] { work(h); }).detach();
    } catch (const std::system_error &) {
        std::lock_guard lock(reg.lock);
        reg.requests.erase(h);
        WSASetLastError(WSAENOBUFS);
        return 0;
    }
    return h;
}

} // namespace

HANDLE WSAAsyncGetHostByName(HWND window, UINT msg, const std::string &name) {
    return StartLookup(window, msg, [name](HANDLE h) {
        THostEnt ent;
        int error = 0;
        if (!winsock::gethostbyname(name, ent))
            error = WSAGetLastError();
        FinishLookup(h, error, std::move(ent));
    });
}

HANDLE WSAAsyncGetHostByAddr(HWND window, UINT msg, std::uint32_t addrNetOrder) {
    return StartLookup(window, msg, [addrNetOrder](HANDLE h) {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = addrNetOrder;
        char host[NI_MAXHOST];
        THostEnt ent;
        int rc = ::getnameinfo(reinterpret_cast<const sockaddr *>(&sin), sizeof sin, host,
                               sizeof host, nullptr, 0, NI_NAMEREQD);
        int error = WinsockErrorFromGai(rc);
        if (rc == 0) {
            ent.Name = host;
            ent.Addresses.push_back(addrNetOrder);
        }
        FinishLookup(h, error, std::move(ent));
    });
}

int WSACancelAsyncRequest(HANDLE handle) {
    LookupRegistry &reg = Lookups();
    std::lock_guard lock(reg.lock);
    if (reg.requests.erase(handle) == 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return 0;
}

bool WSAGetAsyncResult(HANDLE handle, THostEnt &result) {
    LookupRegistry &reg = Lookups();
    std::lock_guard lock(reg.lock);
    auto it = reg.requests.find(handle);
    if (it == reg.requests.end() || !it->second.done)
        return false;
    result = std::move(it->second.result);
    reg.requests.erase(it);
    return true;
}

std::size_t WSAPendingAsyncRequests() {
    LookupRegistry &reg = Lookups();
    std::lock_guard lock(reg.lock);
    return reg.requests.size();
}

} // namespace pv
