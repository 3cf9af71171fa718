// Asynchronous host and address lookups, each on a worker thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/WinsockTypes.h"
#include "platform/MessageLoop.h"

namespace pv {

// On completion `msg` is posted to `window` with wParam = handle and the
// error in the high word of lParam. 0 when the lookup could not be started
// (WSAGetLastError tells why).
HANDLE WSAAsyncGetHostByName(HWND window, UINT msg, const std::string &name);
HANDLE WSAAsyncGetHostByAddr(HWND window, UINT msg, std::uint32_t addrNetOrder);
// The result of a finished lookup is dropped, pending or not yet fetched.
// SOCKET_ERROR with WSAEINVAL for an unknown handle.
int WSACancelAsyncRequest(HANDLE handle);
// Takes the result of a lookup whose message has arrived; false when there is
// none (cancelled or already taken).
bool WSAGetAsyncResult(HANDLE handle, THostEnt &result);
// Number of lookups not yet finished or fetched (for tests).
std::size_t WSAPendingAsyncRequests();

} // namespace pv
