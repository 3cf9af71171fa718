// The types shared by the parts of the socket library binding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pv {

// A socket handle: the descriptor in the low 32 bits and a serial number in
// the high ones, so a late message of a closed socket never matches a new
// socket that got the same descriptor.
using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;
// Handle of an asynchronous lookup; 0 is never one.
using HANDLE = std::uintptr_t;

// Result of a host lookup: the official name and the IPv4 addresses in
// network order.
struct THostEnt {
    std::string Name;
    std::vector<std::uint32_t> Addresses;
};

} // namespace pv
