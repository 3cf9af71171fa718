// Which arguments start the program, which are options, and which are
// refused: the service switch must always get through to the service helper.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace pv::test {
namespace {

TEST(CommandLine, ServiceSwitchInEveryAllowedSpellingRunsTheProgram) {
    for (const std::string &arg :
         std::vector<std::string>{"-service", "/service", "/SERVICE", "-Service:x", "/service=1",
                                  "-service:", "-service=" + std::string(300, 'v')}) {
        EXPECT_TRUE(IsServiceSwitch(arg)) << arg;
        EXPECT_EQ(ParseCommandLine({arg}).Command, TCommand::Run) << arg;
    }
    for (const std::string arg :
         {"-servicex", "--service", "service", "-servic", "-", "/", "/service;x", ""})
        EXPECT_FALSE(IsServiceSwitch(arg)) << arg;
    EXPECT_EQ(ParseCommandLine({}).Command, TCommand::Run);
    // An option beside the switch is still an option.
    EXPECT_EQ(ParseCommandLine({"-service", "--version"}).Command, TCommand::Version);
}

TEST(CommandLine, OptionsAndRefusals) {
    EXPECT_EQ(ParseCommandLine({"--help"}).Command, TCommand::Help);
    EXPECT_EQ(ParseCommandLine({"-h"}).Command, TCommand::Help);
    EXPECT_EQ(ParseCommandLine({"--set-password"}).Command, TCommand::SetPassword);
    // Other arguments were always ignored, and scripts may pass them.
    EXPECT_EQ(ParseCommandLine({"-servicex", "/tmp/report.txt", "report.txt"}).Command,
              TCommand::Run);

    struct Case {
        std::vector<std::string> Args;
        std::string Error;
    };
    for (const Case &c : std::vector<Case>{
             {{"--service"}, "(the service switch is written -service or /service)"},
             {{"--verbose"}, "unknown option '--verbose'"},
             {{"--set-password=x"}, "--set-password takes no value"},
             {{"--help", "--help"}, "one option at a time"},
         }) {
        const TCommandLine line = ParseCommandLine(c.Args);
        EXPECT_EQ(line.Command, TCommand::Refused) << c.Args[0];
        EXPECT_NE(line.Error.find(c.Error), std::string::npos) << line.Error;
    }
}

} // namespace
} // namespace pv::test
