// The optional INI section [Proxy]: a SOCKS proxy through which the mail
// sessions reach their servers. Read afresh for every session, never written
// by the program.
//
//   [Proxy]
//   Server=proxy.example.org   (empty or missing: no proxy)
//   Port=1080
//   Level=5                    (4, 4A or 5)
//   User=joe                   (level 5: user name and password; 4 and 4A: the user id)
//   Password=secret
#pragma once

#include <string>

#include "net/WSocket.h"

namespace pv {

struct TProxySettings {
    std::string Server;
    std::string Port = "1080";
    std::string Level = "5";
    std::string User;
    std::string Password;
};

// The section as it stands in the file; missing keys keep their defaults.
TProxySettings ReadProxySettings(const std::string &IniFile);

// Makes a closed socket connect through the proxy of the settings, or
// directly when they name no server. The text for the log ("SOCKS 5 proxy
// host:port"), "" without a proxy. A Level other than 4, 4A or 5 raises
// ESocketException "Invalid socks level. Must be 4, 4A or 5.".
std::string ApplyProxySettings(TWSocket &Socket, const TProxySettings &Proxy);

// Both: reads [Proxy] of the INI file and applies it to the socket. Every
// mail session (SMTP, POP3) calls this before it connects.
std::string ApplyProxySettings(TWSocket &Socket, const std::string &IniFile);

} // namespace pv
