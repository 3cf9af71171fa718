// What the install puts beside the program for an administrator: the systemd
// units, the desktop entries and the manual page, checked with the tools that
// read them, and the manual page against what the program itself says.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/e2e/E2eSupport.h"
#include "tests/support/Desktop.h"

namespace pv {
namespace {

using e2e::Quoted;
using e2e::Shell;
using test::ReadFileText;

class Packaging : public ::testing::Test {
  protected:
    void SetUp() override {
        prefix_ = e2e::InstalledProgram();
        ASSERT_FALSE(prefix_.empty());
    }

    // Runs a shell command; its exit status, standard output and error in out.
    int Run(const std::string &command, std::string &out) {
        const std::string file = dir_ / "out.txt";
        const int rc = Shell(command + " > " + Quoted(file) + " 2>&1");
        out = ReadFileText(file);
        return rc;
    }

    std::string prefix_;
    pvtest::TempDir dir_;
};

TEST_F(Packaging, TheSystemdUnitsVerifyAndStartTheInstalledProgram) {
    if (!test::HaveProgram("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
    const std::string units = prefix_ + "/systemd/";
    // MANPATH: the units' Documentation= names the installed page, which
    // verify looks up.
    std::string out;
    EXPECT_EQ(Run("MANPATH=" + Quoted(prefix_ + "/share/man") + ": systemd-analyze verify " +
                      Quoted(units + "postvane.service") + " " +
                      Quoted(units + "postvane-once.service") + " " +
                      Quoted(units + "postvane-once.timer"),
                  out),
              0)
        << out;
    EXPECT_EQ(out, ""); // warnings (an unknown key) do not change the status
    EXPECT_NE(ReadFileText(units + "postvane.service")
                  .find("\nExecStart=" + prefix_ + "/postvane -service\n"),
              std::string::npos);
    EXPECT_NE(ReadFileText(units + "postvane-once.service")
                  .find("\nExecStart=" + prefix_ + "/postvane\n"),
              std::string::npos);
}

TEST_F(Packaging, TheDesktopEntriesValidateAndStartTheInstalledProgram) {
    const std::vector<std::string> entries = {
        prefix_ + "/share/applications/postvane.desktop",
        prefix_ + "/share/doc/postvane/examples/autostart/postvane.desktop"};
    for (const std::string &entry : entries) {
        EXPECT_NE(ReadFileText(entry).find("\nExec=" + prefix_ + "/postvane\n"), std::string::npos)
            << entry;
        EXPECT_EQ(access((prefix_ + "/logo.png").c_str(), R_OK), 0);
    }
    if (!test::HaveProgram("desktop-file-validate"))
        GTEST_SKIP()
            << "desktop-file-validate is not installed (Debian package desktop-file-utils)";
    std::string out;
    EXPECT_EQ(Run("desktop-file-validate " + Quoted(entries[0]) + " " + Quoted(entries[1]), out), 0)
        << out;
    EXPECT_EQ(out, "");
}

// Every key the first start writes, the options --help lists, the sections
// the program only reads and the exit statuses are on the page.
TEST_F(Packaging, TheManualPageRendersWithoutWarningsAndDocumentsTheProgram) {
    if (!test::HaveProgram("man"))
        GTEST_SKIP() << "man is not installed (Debian package man-db)";
    const std::string page = prefix_ + "/share/man/man1/postvane.1";
    const std::string errors = dir_ / "errors.txt";
    const int rc = Shell("MANWIDTH=80 man --warnings -l " + Quoted(page) + " > " +
                         Quoted(dir_ / "page.txt") + " 2> " + Quoted(errors));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFileText(errors), "");
    // The text as rendered, without hyphenation at the line ends.
    std::string text;
    ASSERT_EQ(Run("MANWIDTH=1000 man -l " + Quoted(page), text), 0);

    // The keys the program writes at its first start (into a copy of its own).
    const std::string copy = dir_ / "program";
    ASSERT_EQ(Shell("cp -a " + Quoted(prefix_) + " " + Quoted(copy)), 0);
    std::string out;
    Run(Quoted(copy + "/postvane") + " --help", out);
    ASSERT_NE(out.find("--set-password"), std::string::npos) << out;
    std::set<std::string> options;
    for (std::size_t at = out.find(" -"); at != std::string::npos; at = out.find(" -", at + 1)) {
        const std::size_t end = out.find_first_of(" ,\n", at + 1);
        options.insert(out.substr(at + 1, end - at - 1));
    }
    test::WriteFileText(copy + "/postvane.ini", "[SETUP]\r\nPollDir=" + (dir_ / "missing") +
                                                    "\r\nRunOnceExit=1\r\nTimeUnit=S\r\n"
                                                    "PollInterval=1\r\nLog=0\r\n");
    Run("env -u DISPLAY -u WAYLAND_DISPLAY " + Quoted(copy + "/postvane"), out);
    const std::string ini = ReadFileText(copy + "/postvane.ini");
    std::vector<std::string> keys;
    for (std::size_t at = ini.find("\r\n"); at != std::string::npos;
         at = ini.find("\r\n", at + 2)) {
        const std::size_t eq = ini.find('=', at);
        if (eq != std::string::npos && ini.find("\r\n", at + 2) > eq)
            keys.push_back(ini.substr(at + 2, eq - at - 2));
    }
    ASSERT_EQ(keys.size(), 24u) << ini;
    // Written only once the authentication dialog was used; then the
    // sections the program only reads.
    for (const char *k : {"UserName", "Password", "Pop3Host", "Pop3Port", "APop"})
        keys.push_back(k);
    for (const char *k : {"SMTP", "POP3", "Verify", "CAFile", "Server", "Port", "Level", "User"})
        keys.push_back(k);
    for (const std::string &k : keys)
        EXPECT_NE(text.find(k + "="), std::string::npos) << k;
    for (const char *section :
         {"Section SETUP", "Section MimeTypes", "Section TLS", "Section Proxy"})
        EXPECT_NE(text.find(section), std::string::npos) << section;
    for (const std::string &o : options)
        EXPECT_NE(text.find(o), std::string::npos) << o;
    for (const char *heading : {"EXIT STATUS", "FILES", "SERVICE MODE", "SIGNALS"})
        EXPECT_NE(text.find("\n" + std::string(heading) + "\n"), std::string::npos) << heading;
    for (const char *file : {"postvane.ini", "body.txt", "Postvane.log", "Temp/", "libzipdll.so",
                             "libpv_qt.so", "systemd/postvane.service"})
        EXPECT_NE(text.find(file), std::string::npos) << file;
}

} // namespace
} // namespace pv
