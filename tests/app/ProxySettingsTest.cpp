// The [Proxy] section: what is read from the INI file and what it makes of
// a socket.
#include <gtest/gtest.h>

#include "app/ProxySettings.h"
#include "tests/support/TempDir.h"

namespace pv {
namespace {

std::string Error(const std::function<void()> &f) {
    try {
        f();
    } catch (const Exception &e) {
        return e.Message();
    }
    return "(none)";
}

TEST(ProxySettings, ReadFromTheIniFile) {
    pvtest::TempDir dir;
    const std::string ini = dir / "postvane.ini";
    TProxySettings p = ReadProxySettings(ini); // no file
    EXPECT_EQ(p.Server, "");
    EXPECT_EQ(p.Port, "1080");
    EXPECT_EQ(p.Level, "5");
    pvtest::WriteFile(ini, "[SETUP]\r\nHost=mail\r\n[proxy]\r\nServer = socks.example.org \r\n"
                           "Port=\r\nLevel=4a\r\nUser=joe\r\nPassword=\"two words\"\r\n");
    p = ReadProxySettings(ini);
    EXPECT_EQ(p.Server, "socks.example.org");
    EXPECT_EQ(p.Port, "1080"); // empty means the default
    EXPECT_EQ(p.Level, "4a");
    EXPECT_EQ(p.User, "joe");
    EXPECT_EQ(p.Password, "two words");
}

TEST(ProxySettings, AppliedToASocket) {
    TWSocket s;
    TProxySettings p;
    p.Server = "127.0.0.1";
    p.Port = "1081";
    p.User = "joe";
    p.Password = "pw";
    EXPECT_EQ(ApplyProxySettings(s, p), "SOCKS 5 proxy 127.0.0.1:1081");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
    EXPECT_EQ(s.SocksPort(), "1081");
    EXPECT_EQ(s.SocksAuthentication, socksAuthenticateUsercode);
    EXPECT_EQ(s.SocksUsercode, "joe");
    EXPECT_EQ(s.SocksPassword, "pw");
    EXPECT_TRUE(s.SocksRemoteLookup);

    // Level 4 sends the user as its id and looks names up here.
    p.Level = "4";
    p.Server = "proxy\x1b[2J";
    EXPECT_EQ(ApplyProxySettings(s, p), "SOCKS 4 proxy proxy\\x1B[2J:1081");
    EXPECT_EQ(s.SocksAuthentication, socksNoAuthentication);
    EXPECT_EQ(s.SocksUsercode, "joe");
    EXPECT_FALSE(s.SocksRemoteLookup);

    // A bad level fails instead of going out directly.
    p.Level = "6";
    EXPECT_EQ(Error([&] { ApplyProxySettings(s, p); }), "Invalid socks level. Must be 4, 4A or 5.");

    // No server: a direct connection again.
    EXPECT_EQ(ApplyProxySettings(s, TProxySettings{}), "");
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_FALSE(s.SocksRemoteLookup);
}

} // namespace
} // namespace pv
