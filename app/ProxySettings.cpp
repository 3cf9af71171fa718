#include "app/ProxySettings.h"

#include "mail/SmtpHeaders.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace pv {

namespace {

const char *const kSection = "Proxy";

} // namespace

TProxySettings ReadProxySettings(const std::string &IniFile) {
    TProxySettings p;
    auto read = [&](const char *key, std::string &value) {
        value = Trim(GetPrivateProfileString(kSection, key, value, IniFile));
    };
    read("Server", p.Server);
    read("Port", p.Port);
    read("Level", p.Level);
    read("User", p.User);
    read("Password", p.Password);
    if (p.Port.empty())
        p.Port = "1080";
    if (p.Level.empty())
        p.Level = "5";
    return p;
}

std::string ApplyProxySettings(TWSocket &Socket, const TProxySettings &Proxy) {
    if (Proxy.Server.empty()) {
        Socket.SetSocksServer("");
        Socket.SocksRemoteLookup = false;
        return "";
    }
    const std::string level = UpperCase(Proxy.Level);
    // Checked here too: a socket with an OnError handler would not raise, and
    // the session must not go out directly instead.
    if (level != "4" && level != "4A" && level != "5")
        throw ESocketException("Invalid socks level. Must be 4, 4A or 5.");
    Socket.SetSocksLevel(level);
    Socket.SetSocksServer(Proxy.Server);
    Socket.SetSocksPort(Proxy.Port);
    Socket.SocksUsercode = Proxy.User;
    Socket.SocksPassword = Proxy.Password;
    Socket.SocksAuthentication =
        level == "5" && !Proxy.User.empty() ? socksAuthenticateUsercode : socksNoAuthentication;
    // Levels 4A and 5 hand the server's name to the proxy, which may be the
    // only one able to resolve it.
    Socket.SocksRemoteLookup = level != "4";
    return ShowControls("SOCKS " + level + " proxy " + Proxy.Server + ":" + Proxy.Port);
}

std::string ApplyProxySettings(TWSocket &Socket, const std::string &IniFile) {
    return ApplyProxySettings(Socket, ReadProxySettings(IniFile));
}

} // namespace pv
