#include "net/WinsockResolve.h"

#include <netinet/in.h>

#include "net/WinsockCalls.h"
#include "net/WinsockErrors.h"
#include "net/WinsockStartup.h"
#include "platform/Text.h"

namespace pv {

namespace {

// The decimal number formed by the leading digits; false past 65535.
bool LeadingNumber(const std::string &s, unsigned long &value) {
    value = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9')
            break;
        value = value * 10 + static_cast<unsigned long>(ch - '0');
        if (value > 0xFFFFFFu)
            return false;
    }
    return true;
}
} // namespace

bool IsDottedIP(const std::string &s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n && s[i] == ' ')
        ++i;
    if (i < n && s[i] == '.')
        return false;
    int dots = 0;
    unsigned part = 0;
    for (; i < n; ++i) {
        char ch = s[i];
        if (ch >= '0' && ch <= '9') {
            part = part * 10 + static_cast<unsigned>(ch - '0');
            if (part > 256)
                part = 256; // only "above 255" matters; avoids overflow
        } else if (ch == '.') {
            if (++dots > 3 || part > 255 || i + 1 >= n || s[i + 1] < '0' || s[i + 1] > '9')
                return false;
            part = 0;
        } else if (ch == ' ') {
            if (s.find_first_not_of(' ', i) != std::string::npos)
                return false;
            break;
        } else {
            return false;
        }
    }
    return dots == 3 && part <= 255;
}

std::uint32_t WSocketResolveHost(const std::string &host) {
    if (host.empty() || host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.");
    if (IsDottedIP(host)) {
        std::uint32_t a = winsock::inet_addr(host);
        if (a == INADDR_NONE && Trim(host) != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
        return a;
    }
    THostEnt ent;
    if (!winsock::gethostbyname(host, ent))
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + host +
                               "', Error #" + std::to_string(WSAGetLastError()));
    return ent.Addresses.front();
}

std::uint16_t WSocketResolvePort(const std::string &port, const std::string &proto) {
    if (port.empty() || port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (port[0] >= '0' && port[0] <= '9') {
        unsigned long v;
        // A number beyond 16 bits would silently become another port.
        if (!LeadingNumber(port, v) || v > 65535)
            throw ESocketException("WSocketResolvePort: Invalid Port.");
        return static_cast<std::uint16_t>(v);
    }
    int p = winsock::getservbyname(Trim(port), Trim(proto));
    if (p < 0)
        throw ESocketException("WSocketResolvePort: Cannot convert port '" + port + "', Error #" +
                               std::to_string(WSAGetLastError()));
    return ntohs(static_cast<std::uint16_t>(p));
}

int WSocketResolveProto(const std::string &proto) {
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string t = Trim(proto);
    if (!t.empty() && t[0] >= '0' && t[0] <= '9') {
        unsigned long v;
        if (!LeadingNumber(t, v))
            throw ESocketException("WSocketResolveProto: Invalid Protocol.");
        return static_cast<int>(v);
    }
    int p = winsock::getprotobyname(t);
    if (p < 0)
        throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + proto +
                               "', Error #" + std::to_string(WSAGetLastError()));
    return p;
}

std::string LocalHostName() {
    // Borrow the library so a last destructor elsewhere cannot clean it up
    // under this call.
    WinsockAddRef();
    char buf[64] = {};
    int rc = winsock::gethostname(buf, sizeof buf - 1);
    WinsockRelease();
    if (rc != 0)
        throw ESocketException("Winsock.GetHostName failed");
    buf[63] = '\0';
    return buf;
}

} // namespace pv
