// The command line beside the service switch, the password set from a
// terminal or a pipe, and the terminal as a second place for job results.
#include "app/CommandLine.h"

#include "app/FrmMain.h"
#include "app/Settings.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Text.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <termios.h>
#include <unistd.h>

namespace pv {

namespace {

const std::string kServiceParam = "service";

void Print(std::FILE *to, const std::string &text) {
    std::fputs(text.c_str(), to);
    std::fflush(to);
}

std::string HelpText(const std::string &appDir) {
    const std::string ini = IniFileName(appDir);
    return "Usage: " + ExtractFileName(ExeName()) +
           " [OPTION]\n"
           "Watches one directory and mails the files it finds there.\n"
           "Settings: " +
           ini + "\nMessage text: " + appDir + "body.txt\nLog: " + appDir +
           "Postvane.log\n"
           "\n"
           "Without an option the program runs: with RunOnceExit=1 it runs one job one\n"
           "poll interval after start and exits; with StartInTimerMode=1 it runs a job\n"
           "every interval until it is stopped (Ctrl+C, SIGTERM). The first start writes\n"
           "the settings file with the defaults.\n"
           "\n"
           "  -service, /service  keep running when the desktop session ends\n"
           "  --set-password      read the password for SMTP authentication from standard\n"
           "                      input (not echoed on a terminal) and store it scrambled\n"
           "                      in the settings file; no other setting is touched\n"
           "  -h, --help          show this help and exit\n"
           "  --version           show the version and exit\n"
           "\n"
           "Exit status of a run-once program: 0 every selected file was sent, or there\n"
           "was nothing to do; 1 a file or the mail session failed, or the program was\n"
           "stopped before its job ended; 2 a settings or start-up error, or a wrong\n"
           "command line.\n";
}

// ---- reading a password ----

termios savedTerminal;
volatile sig_atomic_t terminalChanged = 0;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A signal while echo is off: give the terminal back, then die of it.
extern "C" void RestoreTerminalAndRaise(int signo) {
    if (terminalChanged)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signo, SIG_DFL);
    std::raise(signo);
}

// Echo off on the terminal for its lifetime; the line end is still echoed.
class TNoEcho {
  public:
    TNoEcho() {
        if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
            return;
        struct sigaction sa {};
        sa.sa_handler = RestoreTerminalAndRaise;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &sa, &previous_[i]);
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        terminalChanged = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        active_ = true;
    }
    ~TNoEcho() {
        if (!active_)
            return;
        if (terminalChanged)
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        terminalChanged = 0;
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &previous_[i], nullptr);
    }
    TNoEcho(const TNoEcho &) = delete;
    TNoEcho &operator=(const TNoEcho &) = delete;

  private:
    struct sigaction previous_[std::size(kSignals)]{};
    bool active_ = false;
};

// One line of standard input without its line end; false when the input
// ended before anything was read.
bool ReadLine(std::string &line) {
    line.clear();
    bool any = false;
    for (;;) {
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        any = true;
        if (c == '\n')
            break;
        line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return any;
}

// The password is not stored: says why; the exit status.
int Refuse(const std::string &why) {
    Print(stderr, "postvane: " + why + "; nothing stored\n");
    return 2;
}

// The password from standard input, or the reason why there is none.
std::optional<std::string> ReadPassword(std::string &why) {
    std::string password;
    if (!isatty(STDIN_FILENO)) {
        if (!ReadLine(password))
            why = "no password on standard input";
        return why.empty() ? std::optional(password) : std::nullopt;
    }
    std::string again;
    {
        TNoEcho quiet;
        Print(stderr, "Password: ");
        if (ReadLine(password)) {
            Print(stderr, "Password again: ");
            if (!ReadLine(again))
                why = "no password given";
        } else {
            why = "no password given";
        }
    }
    if (why.empty() && password != again)
        why = "the two passwords differ";
    return why.empty() ? std::optional(password) : std::nullopt;
}

} // namespace

bool IsServiceSwitch(const std::string &arg) {
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/'))
        return false;
    // Only the first 255 characters of an argument count.
    const std::string name = arg.substr(0, 255).substr(1);
    if (name.size() < kServiceParam.size() ||
        !SameText(name.substr(0, kServiceParam.size()), kServiceParam))
        return false;
    return name.size() == kServiceParam.size() || name[kServiceParam.size()] == ':' ||
           name[kServiceParam.size()] == '=';
}

TCommandLine ParseCommandLine(const std::vector<std::string> &args) {
    TCommandLine result;
    auto refuse = [&result](const std::string &why) {
        result.Command = TCommand::Refused;
        result.Error = why;
        return result;
    };
    for (const std::string &arg : args) {
        if (IsServiceSwitch(arg))
            continue;
        TCommand command;
        if (arg == "--help" || arg == "-h")
            command = TCommand::Help;
        else if (arg == "--version")
            command = TCommand::Version;
        else if (arg == "--set-password")
            command = TCommand::SetPassword;
        else if (arg.rfind("--set-password=", 0) == 0)
            return refuse("--set-password takes no value: it reads the password from standard "
                          "input");
        else if (SameText(arg.substr(0, 9), "--service"))
            return refuse("unknown option '" + arg +
                          "' (the service switch is written -service or /service)");
        else if (arg.rfind("--", 0) == 0)
            return refuse("unknown option '" + arg + "'");
        else
            continue; // anything else was always ignored; keep it so
        if (result.Command != TCommand::Run)
            return refuse("one option at a time");
        result.Command = command;
    }
    return result;
}

int SetPassword(const std::string &iniFile) {
    std::string why;
    const std::optional<std::string> password = ReadPassword(why);
    if (!password)
        return Refuse(why);
    if (password->empty())
        return Refuse("the password is empty");
    if (!PasswordStoresIntact(*password))
        return Refuse("this password would not read back from the settings file: it begins "
                      "or ends with a byte from 0x80 to 0xA0 (as the last byte of \"\xc3\xa0\" "
                      "is), or holds the byte 0x80, 0x8A or 0x8D");
    try {
        WritePrivateProfileString("SETUP", "Password", ScramblePassword(*password), iniFile);
    } catch (const Exception &e) {
        return Refuse(e.Message());
    }
    std::string text = "Password stored scrambled in " + iniFile + ".\n";
    if (GetPrivateProfileInt("SETUP", "Authentication", 0, iniFile) != 2)
        text += "It is sent only with Authentication=2 (SMTP authentication) in that file.\n";
    Print(stdout, text);
    return 0;
}

std::optional<int> HandleCommandLine(int argc, char **argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const TCommandLine line = ParseCommandLine(args);
    switch (line.Command) {
    case TCommand::Run:
        return std::nullopt;
    case TCommand::Help:
        Print(stdout, HelpText(AppDir()));
        return 0;
    case TCommand::Version:
        Print(stdout, std::string("Postvane ") + kVersion + "\n");
        return 0;
    case TCommand::SetPassword:
        return SetPassword(IniFileName(AppDir()));
    case TCommand::Refused:
        break;
    }
    Print(stderr, "postvane: " + line.Error + "\nTry '" + ExeName() + " --help'.\n");
    return 2;
}

void AttachConsole(TfrmMain &frmMain) {
    if (!isatty(STDERR_FILENO) || frmMain.Failed())
        return;
    frmMain.ConsoleEcho = true;
    Print(stderr, frmMain.StartLine() + "\n");
}

} // namespace pv
