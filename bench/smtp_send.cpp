// Sends one message with the given files attached through TSmtpCli, set up
// as the main window sets it up, and reports the time the session took.
// With --per-file, one message per file over the one connection instead.
//   smtp_send [--per-file] HOST PORT FILE...
// Exit status 0 when every request succeeded. bench/smtp_send.sh and
// bench/smtp_many.sh run it beside other mail clients against a sink that
// discards what it gets.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "mail/SmtpCli.h"
#include "platform/MessageLoop.h"

using namespace pv;

int main(int argc, char **argv) {
    const bool perFile = argc > 1 && std::string(argv[1]) == "--per-file";
    if (perFile) {
        --argc;
        ++argv;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s [--per-file] HOST PORT FILE...\n", argv[0]);
        return 2;
    }
    TSmtpCli smtp;
    smtp.Host = argv[1];
    smtp.Port = argv[2];
    smtp.Allow8bitChars = false;
    smtp.FoldHeaders = true;
    smtp.WrapMessageText = true;
    smtp.CharSet = "ISO-8859-1";
    smtp.FromName = "bench@example.org";
    smtp.HdrFrom = "Bench <bench@example.org>";
    smtp.HdrTo = "sink@example.org";
    smtp.HdrSubject = "smtp_send benchmark";
    smtp.RcptName = {"sink@example.org"};
    smtp.MailMessage = {"One attachment follows.", "", "Sent by smtp_send."};
    int next = 3; // the next file to attach
    const auto attach = [&] {
        smtp.EmailFiles().clear();
        for (; next < argc; ++next) {
            smtp.EmailFiles().push_back(argv[next]);
            if (perFile) {
                ++next;
                break;
            }
        }
    };
    attach();

    bool finished = false;
    int failures = 0;
    smtp.OnRequestDone = [&](TObject *, TSmtpRequest rq, std::uint16_t code) {
        if (code != 0) {
            ++failures;
            std::fprintf(stderr, "request %d failed with %u: %s\n", static_cast<int>(rq),
                         static_cast<unsigned>(code), smtp.ErrorMessage().c_str());
            if (rq != smtpQuit && smtp.Connected())
                smtp.Quit();
            else
                finished = true;
            return;
        }
        switch (rq) {
        case smtpConnect:
            smtp.Helo();
            break;
        case smtpHelo:
            smtp.MailFrom();
            break;
        case smtpMailFrom:
            smtp.RcptTo();
            break;
        case smtpRcptTo:
            smtp.Data();
            break;
        case smtpData:
            if (next < argc) {
                attach();
                smtp.MailFrom();
            } else {
                smtp.Quit();
            }
            break;
        default:
            finished = true;
            break;
        }
    };
    const auto start = std::chrono::steady_clock::now();
    smtp.Connect();
    while (!finished) {
        MSG msg;
        if (!GetMessage(msg))
            break;
        DispatchMessage(msg);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("smtp_send: session %.3f s\n", seconds);
    return failures == 0 ? 0 : 1;
}
