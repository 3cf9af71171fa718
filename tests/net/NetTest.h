// Helpers of the socket tests: a pump with a deadline and plain blocking
// peers on 127.0.0.1.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/MessageLoop.h"

namespace pv::test {

// Dispatches the thread's messages until done() holds or ms have passed.
inline bool PumpUntil(const std::function<bool()> &done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        MSG msg;
        if (PeekMessage(msg, true)) {
            DispatchMessage(msg);
        } else {
            WaitMessageTimeout(20);
        }
    }
    return true;
}

// Dispatches for ms milliseconds (to see that nothing more comes).
inline void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

// A plain blocking listener on 127.0.0.1 with a port of the kernel's choice.
class RawListener {
  public:
    RawListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
        ::listen(fd_, 8);
        socklen_t len = sizeof sin;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sin), &len);
        port_ = ntohs(sin.sin_port);
    }
    ~RawListener() { ::close(fd_); }
    RawListener(const RawListener &) = delete;
    RawListener &operator=(const RawListener &) = delete;

    std::string Port() const { return std::to_string(port_); }
    // The next connection (already established by the kernel).
    int Accept() { return ::accept(fd_, nullptr, nullptr); }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port nothing listens on.
inline std::string ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    ::close(fd);
    return std::to_string(ntohs(sin.sin_port));
}

inline void SendAll(int fd, const std::string &data) {
    std::size_t off = 0;
    while (off < data.size()) {
        ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += static_cast<std::size_t>(n);
    }
}

// Reads until the peer closes or ms pass without data.
inline std::string RecvAll(int fd, int ms = 3000) {
    std::string out;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Closes with a reset instead of a FIN.
inline void ResetAndClose(int fd) {
    linger li{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &li, sizeof li);
    ::close(fd);
}

} // namespace pv::test
