// TCustomWSocket: asynchronous host and address lookups.
#include "net/CustomWSocket.h"

namespace pv {

void TCustomWSocket::WMHostLookup(WPARAM wParam, LPARAM lParam) {
    if (fDnsLookupHandle == 0) {
        // Came before DnsLookup stored the handle; replayed once it has.
        fDnsLookupTempMsg = MSG{fWindowHandle, WM_SOCKET_HOST_LOOKUP, wParam, lParam};
        fDnsLookupCheckMsg = true;
        return;
    }
    if (static_cast<HANDLE>(wParam) != fDnsLookupHandle)
        return;
    fDnsLookupHandle = 0;
    auto error = static_cast<std::uint16_t>(WSAGETASYNCERROR(lParam));
    THostEnt ent;
    bool got = WSAGetAsyncResult(static_cast<HANDLE>(wParam), ent);
    if (error == 0) {
        if (got && !ent.Addresses.empty()) {
            for (std::uint32_t a : ent.Addresses)
                fDnsResultList.push_back(winsock::inet_ntoa(a));
            fDnsResult = fDnsResultList.front();
        } else {
            error = WSANO_DATA;
        }
    }
    DoDnsLookupDone(error);
}

void TCustomWSocket::WMAddrLookup(WPARAM wParam, LPARAM lParam) {
    if (fDnsLookupHandle == 0 || static_cast<HANDLE>(wParam) != fDnsLookupHandle)
        return;
    fDnsLookupHandle = 0;
    auto error = static_cast<std::uint16_t>(WSAGETASYNCERROR(lParam));
    THostEnt ent;
    bool got = WSAGetAsyncResult(static_cast<HANDLE>(wParam), ent);
    if (error == 0) {
        if (got) {
            fDnsResult = ent.Name;
            fDnsResultList.push_back(ent.Name);
        } else {
            error = WSANO_DATA;
        }
    }
    DoDnsLookupDone(error);
}

void TCustomWSocket::DnsLookup(const std::string &HostName) {
    if (HostName.empty()) {
        RaiseSocketError("DNS lookup: invalid host name.");
        DoDnsLookupDone(WSAEINVAL);
        return;
    }
    if (fDnsLookupHandle != 0) {
        WSACancelAsyncRequest(fDnsLookupHandle);
        fDnsLookupHandle = 0;
    }
    fDnsResult.clear();
    fDnsResultList.clear();
    if (IsDottedIP(HostName)) {
        std::uint32_t a = winsock::inet_addr(HostName);
        if (a != INADDR_NONE) {
            fDnsResult = winsock::inet_ntoa(a);
            fDnsResultList.push_back(fDnsResult);
            DoDnsLookupDone(0);
            return;
        }
    }
    if (!fWindowHandle) {
        RaiseSocketError("DnsLookup: Window not assigned");
        return;
    }
    fDnsLookupCheckMsg = false;
    HANDLE h = WSAAsyncGetHostByName(fWindowHandle, WM_SOCKET_HOST_LOOKUP, HostName);
    if (h == 0) {
        RaiseSocketErrorFmt(HostName + ": can't start DNS lookup, error #" +
                            std::to_string(WSAGetLastError()));
        return;
    }
    fDnsLookupHandle = h;
    if (fDnsLookupCheckMsg) {
        fDnsLookupCheckMsg = false;
        WndProc(fDnsLookupTempMsg.message, fDnsLookupTempMsg.wParam, fDnsLookupTempMsg.lParam);
    }
}

void TCustomWSocket::ReverseDnsLookup(const std::string &HostAddr) {
    if (HostAddr.empty() || HostAddr.size() >= 257) {
        RaiseSocketError("ReverseDnsLookup: Invalid host name.");
        DoDnsLookupDone(WSAEINVAL);
        return;
    }
    if (fDnsLookupHandle != 0) {
        WSACancelAsyncRequest(fDnsLookupHandle);
        fDnsLookupHandle = 0;
    }
    fDnsResult.clear();
    fDnsResultList.clear();
    std::uint32_t a = winsock::inet_addr(HostAddr);
    if (!fWindowHandle) {
        RaiseSocketError("ReverseDnsLookup: Window not assigned");
        return;
    }
    HANDLE h = WSAAsyncGetHostByAddr(fWindowHandle, WM_SOCKET_ADDR_LOOKUP, a);
    if (h == 0) {
        RaiseSocketErrorFmt(HostAddr + ": can't start DNS lookup, error #" +
                            std::to_string(WSAGetLastError()));
        return;
    }
    fDnsLookupHandle = h;
}

void TCustomWSocket::CancelDnsLookup() {
    if (fDnsLookupHandle == 0)
        return;
    if (WSACancelAsyncRequest(fDnsLookupHandle) != 0) {
        fDnsLookupHandle = 0;
        SocketError("WSACancelAsyncRequest");
        return;
    }
    fDnsLookupHandle = 0;
    if (!fDestroying)
        DoDnsLookupDone(WSAEINTR);
}

} // namespace pv
