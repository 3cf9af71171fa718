// Host, port and protocol texts as numbers, the dotted-address test and the
// local host name: the helpers of the socket layer that need no socket.
// Failures raise ESocketException.
#pragma once

#include <cstdint>
#include <string>

namespace pv {

bool IsDottedIP(const std::string &s);
// IPv4 address in network order.
std::uint32_t WSocketResolveHost(const std::string &host);
// Port in host order.
std::uint16_t WSocketResolvePort(const std::string &port, const std::string &proto);
int WSocketResolveProto(const std::string &proto);
std::string LocalHostName();

} // namespace pv
