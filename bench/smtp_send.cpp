// Sends one message with the given files attached through TSmtpCli, set up
// as the main window sets it up, and reports the time the session took.
//   smtp_send HOST PORT FILE...
// Exit status 0 when every request succeeded. bench/smtp_send.sh runs it
// beside other mail clients against a sink that discards what it gets.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "mail/SmtpCli.h"
#include "platform/MessageLoop.h"

using namespace pv;

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s HOST PORT FILE...\n", argv[0]);
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
    for (int i = 3; i < argc; ++i)
        smtp.EmailFiles().push_back(argv[i]);

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
            smtp.Quit();
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
