// Jobs whose SMTP session goes through a SOCKS proxy named in [Proxy]:
// microsocks with user name and password in front of the aiosmtpd server.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/SocksProxy.h"

namespace pv::e2e {
namespace {

using test::SocksProxy;

class ProxyJob : public Job {
  protected:
    void SetUp() override {
        Job::SetUp();
        Put("a.txt", "through the proxy\r\n");
    }
    // microsocks asking for joe's password; false (with a skip) when missing.
    void StartProxy() {
        const auto status = proxy_.Start({"microsocks", "--user", "joe", "--password", "pw 1"});
        if (status == SocksProxy::Missing)
            GTEST_SKIP() << proxy_.Why();
        ASSERT_EQ(status, SocksProxy::Started) << proxy_.Why();
    }
    void UseProxy(const std::string &keys) {
        extraIni_ = "[Proxy]\r\nServer=127.0.0.1\r\nPort=" + proxy_.Port() + "\r\n" + keys;
    }
    std::string ProxyLine() const {
        return ">Connecting through SOCKS 5 proxy 127.0.0.1:" + proxy_.Port();
    }

    SocksProxy proxy_;
};

TEST_F(ProxyJob, MailGoesThroughTheProxy) {
    StartProxy();
    StartServer();
    UseProxy("User=joe\r\nPassword=pw 1\r\n");
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Log(), JobLog({ProxyLine(), ">File(s) sent:", "|\t" + Poll() + "a.txt",
                             "|1 File(s) in send list.", "|1 File(s) with 1 Mail(s) sent"}));
    const auto mails = Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(ReadFileText(mails[0]).find("Subject: Nightly files"), std::string::npos);
}

TEST_F(ProxyJob, AWrongProxyPasswordFailsTheJob) {
    StartProxy();
    StartServer();
    UseProxy("User=joe\r\nPassword=wrong\r\n");
    ASSERT_EQ(Run(), 1) << Output();
    const std::string error = "Socks err #20015 socks authentication failed";
    EXPECT_EQ(Log(), JobLog({ProxyLine(), "! " + error, "|1 File(s) in send list.",
                             "|0 File(s) with 0 Mail(s) sent",
                             "|Following 1 File(s) failed:", "|\t" + Poll() + "a.txt - " + error}));
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(InPoll("a.txt"));
}

TEST_F(ProxyJob, AnInvalidLevelFailsTheJobInsteadOfGoingDirect) {
    StartServer();
    extraIni_ = "[Proxy]\r\nServer=127.0.0.1\r\nLevel=6\r\n";
    ASSERT_EQ(Run(), 1) << Output();
    EXPECT_EQ(Log(), JobLog({"! Err Invalid socks level. Must be 4, 4A or 5."}));
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(InPoll("a.txt"));
}

} // namespace
} // namespace pv::e2e
