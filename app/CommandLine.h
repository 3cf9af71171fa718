// The program's command line beside the service switch: --help, --version
// and --set-password are done here and end the program; with no argument or
// only the service switch the program runs. And the terminal, when standard
// error is one: a line saying what the program does, and every job's result.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pv {

class TfrmMain;

enum class TCommand { Run, Help, Version, SetPassword, Refused };

struct TCommandLine {
    TCommand Command = TCommand::Run;
    // Why the command line was refused.
    std::string Error;
};

// The service switch: "service" after "-" or "/", in any case, ending the
// argument or followed by ":" or "=" and a value. Left to the service
// helper; never taken for an unknown option.
bool IsServiceSwitch(const std::string &arg);

// args without the program name.
TCommandLine ParseCommandLine(const std::vector<std::string> &args);

// The exit status when the command line was handled here (an option done,
// or refused with status 2); nothing when the program is to run.
std::optional<int> HandleCommandLine(int argc, char **argv);

// Reads a password from standard input (twice and without echo on a
// terminal) and stores it scrambled as Password in iniFile, touching no
// other line. The exit status.
int SetPassword(const std::string &iniFile);

// When standard error is a terminal: says there what the program does and
// how to stop it, and has every job's result lines go there too.
void AttachConsole(TfrmMain &frmMain);

} // namespace pv
