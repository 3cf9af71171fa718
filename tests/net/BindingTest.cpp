// The helpers that need no socket: dotted test, resolution, error texts,
// errno mapping, the live count.
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "net/WSocket.h"
#include "net/Winsock.h"

namespace pv {
namespace {

template <typename F> std::string ErrorText(F f) {
    try {
        f();
    } catch (const ESocketException &e) {
        return e.Message();
    }
    return "(no exception)";
}

TEST(DottedIP, AcceptsOnlyFourPartsOfAtMost255) {
    EXPECT_TRUE(IsDottedIP("1.2.3.4"));
    EXPECT_TRUE(IsDottedIP("  127.0.0.1  "));
    EXPECT_TRUE(IsDottedIP("255.255.255.255"));
    EXPECT_TRUE(IsDottedIP("0.0.0.0"));
    for (const char *bad :
         {"1.2.3.256", "1.2.3", ".1.2.3", "1.2.3.4x", "", "1..2.3", "1.2.3.", "1.2.3.4.5",
          "256.1.1.1", "1.2.3.4 x", "a.b.c.d", "99999999999999999999.1.1.1"})
        EXPECT_FALSE(IsDottedIP(bad)) << bad;
}

TEST(ResolveHost, DottedNamesAndRejections) {
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    // Parts are decimal, as the dotted test reads them.
    EXPECT_EQ(WSocketResolveHost("010.0.0.1"), inet_addr("10.0.0.1"));
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ErrorText([] { WSocketResolveHost(""); }),
              "WSocketResolveHost: '' Invalid Hostname.");
    std::string longName(257, 'a');
    EXPECT_EQ(ErrorText([&] { WSocketResolveHost(longName); }),
              "WSocketResolveHost: '" + longName + "' Invalid Hostname.");
}

TEST(ResolvePort, NumbersServicesAndRejections) {
    EXPECT_EQ(WSocketResolvePort("25", "tcp"), 25);
    EXPECT_EQ(WSocketResolvePort("8080abc", "tcp"), 8080);
    EXPECT_EQ(WSocketResolvePort("smtp", "tcp"), 25);
    EXPECT_EQ(WSocketResolvePort("pop3", "tcp"), 110);
    EXPECT_EQ(ErrorText([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorText([] { WSocketResolvePort(std::string(32, 'a'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorText([] { WSocketResolvePort("", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorText([] { WSocketResolvePort("25", ""); }),
              "WSocketResolvePort: Invalid Proto.");
    // Beyond 16 bits a number would silently name another port.
    EXPECT_EQ(ErrorText([] { WSocketResolvePort("65536", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(WSocketResolvePort("65535", "tcp"), 65535);
    EXPECT_EQ(ErrorText([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
}

TEST(ResolveProto, NamesNumbersAndRejections) {
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp "), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(ErrorText([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorText([] { WSocketResolveProto(std::string(32, 't')); }),
              "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorText([] { WSocketResolveProto("nosuchproto"); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
}

// A container or a minimal root may have neither /etc/protocols nor
// /etc/services: the names a mail session uses still resolve there.
TEST(ResolveWithoutNetbase, ProtocolAndMailServiceNamesStillResolve) {
    if (geteuid() != 0)
        GTEST_SKIP() << "not root: the system's files cannot be hidden in a mount namespace";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/dev/null", "/etc/protocols", nullptr, MS_BIND, nullptr) != 0 ||
            mount("/dev/null", "/etc/services", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        bool ok = false;
        try {
            ok = WSocketResolveProto("tcp") == 6 && WSocketResolveProto("UDP") == 17 &&
                 WSocketResolvePort("smtp", "tcp") == 25 &&
                 WSocketResolvePort("pop3s", "tcp") == 995 &&
                 WSocketResolvePort("submission", "tcp") == 587;
        } catch (const ESocketException &) {
        }
        if (!ok)
            _exit(1);
        try {
            WSocketResolvePort("nosuchservice", "tcp");
        } catch (const ESocketException &) {
            _exit(0);
        }
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a name did not resolve; 2: an unknown one did";
}

TEST(ErrorTexts, WinsockNumbers) {
    EXPECT_EQ(SocketErrorDesc(10061), "Connection refused");
    EXPECT_EQ(SocketErrorDesc(12345), "Not a WinSock error");
    EXPECT_EQ(SocketErrorDesc(0), "No Error");
    EXPECT_EQ(SocketErrorDesc(10004), "Interrupted system call");
    EXPECT_EQ(SocketErrorDesc(10058), "Can't send after socket shutdown");
    EXPECT_EQ(SocketErrorDesc(10059), "Too many references: can't splice");
    EXPECT_EQ(SocketErrorDesc(11002), "Non-authoritative host not found");
    EXPECT_EQ(SocketErrorDesc(11004), "No Data");
    EXPECT_EQ(SocketErrorDesc(10072), "Not a WinSock error");
    EXPECT_EQ(SocketErrorDesc(-1), "Not a WinSock error");
}

TEST(ErrorTexts, ErrnoAndResolverMapping) {
    EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(EINPROGRESS), 10036);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10058);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WinsockErrorFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(WinsockErrorFromGai(EAI_NONAME), 11001);
    EXPECT_EQ(WinsockErrorFromGai(EAI_AGAIN), 11002);
    EXPECT_EQ(WinsockErrorFromGai(EAI_FAIL), 11003);
}

// An errno without a WinSock twin must not borrow another number's text or
// meaning (10000 + errno made EPROTO "Too many levels of remote in path" and
// EDEADLK "would block"): it gets a number of our own that keeps the errno,
// fits the 16 bits of an event, and reads as the system's text.
TEST(ErrorTexts, ErrnoWithoutATwinKeepsItsOwnText) {
    for (int err : {EPROTO, EDEADLK, ENOENT, EIO, ENOSPC, EBUSY, ENODEV}) {
        const int n = WinsockErrorFromErrno(err);
        EXPECT_FALSE(n >= 10000 && n <= 11999) << err;
        EXPECT_FALSE(n == 0 || n == 500 || (n >= 20001 && n <= 20017) || n == 20600) << err;
        EXPECT_EQ(n & 0xFFFF, n) << err;
        EXPECT_EQ(SocketErrorDesc(n), std::strerror(err)) << err;
    }
    EXPECT_NE(WinsockErrorFromErrno(EPROTO), WinsockErrorFromErrno(EDEADLK));
    const std::pair<int, int> twins[] = {
        {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
        {EFAULT, 10014},          {EINVAL, 10022},       {EMFILE, 10024},
        {EWOULDBLOCK, 10035},     {EAGAIN, 10035},       {EINPROGRESS, 10036},
        {EALREADY, 10037},        {ENOTSOCK, 10038},     {EMSGSIZE, 10040},
        {EPROTONOSUPPORT, 10043}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},     {ENETUNREACH, 10051},
        {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {ENOBUFS, 10055},
        {EISCONN, 10056},         {ENOTCONN, 10057},     {EPIPE, 10058},
        {ESHUTDOWN, 10058},       {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},
        {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065}};
    for (auto [err, wsa] : twins)
        EXPECT_EQ(WinsockErrorFromErrno(err), wsa) << err;
}

TEST(Binding, LastErrorIsPerThreadAndCallsOnDeadHandlesFail) {
    WSASetLastError(0);
    char buf[4];
    EXPECT_EQ(winsock::recv(INVALID_SOCKET, buf, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    // A handle is never reused: the same descriptor gets a new handle.
    SOCKET a = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(a, INVALID_SOCKET);
    int fd = winsock::fd_of(a);
    ASSERT_EQ(winsock::closesocket(a), 0);
    SOCKET b = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(b, INVALID_SOCKET);
    EXPECT_EQ(winsock::fd_of(b), fd);
    EXPECT_NE(a, b);
    EXPECT_EQ(winsock::shutdown(a, SHUT_WR), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(winsock::closesocket(b), 0);
}

TEST(Binding, LiveCountFollowsSocketObjects) {
    int before = WinsockLiveCount();
    {
        TWSocket s1;
        auto s2 = std::make_unique<TWSocket>();
        EXPECT_EQ(WinsockLiveCount(), before + 2);
        s2.reset();
        EXPECT_EQ(WinsockLiveCount(), before + 1);
    }
    EXPECT_EQ(WinsockLiveCount(), before);
    if (before == 0) {
        EXPECT_FALSE(WinsockLoaded());
    }
    EXPECT_FALSE(LocalHostName().empty());
    EXPECT_LE(LocalHostName().size(), 63u);
    EXPECT_EQ(WinsockLiveCount(), before);
}

} // namespace
} // namespace pv
