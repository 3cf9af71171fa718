// The reading side that the line protocol clients (SMTP, POP3) share: the
// bytes held between reads, split into reply lines at CR LF (a bare LF ends
// no line); lines that arrive while a handler waits in a nested message loop
// wait for the lines before them; the rule for a line too long to hold; and
// request-done posted to the client's own window, so that the client's
// OnRequestDone never runs inside the call that finished the request.
//
// Sessions: a client calls Reset when it starts a session and Abort when it
// drops one; both drop the held bytes. Code of the client that raised an event
// asks Ended(mark) whether a handler aborted or started over meanwhile, and
// then stops. As a last guard, when a line handler returns (or throws) after
// an Abort with no new session begun, OnAborted runs, so the client can put
// itself back in its ready state whatever handler aborted it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"

namespace pv {

class TReplyReader {
  public:
    // Reads into Buffer at most Length bytes; 0 or less when nothing came.
    using TReceive = std::function<int(char *Buffer, int Length)>;

    // AreaSize: the bytes held at most. CutLength 0: a full area without a
    // line end is reported to OnLineTooLong and dropped. CutLength > 0: no
    // more than CutLength bytes are held, and that many bytes without a line
    // end are a line of their own.
    TReplyReader(int AreaSize, int CutLength);
    ~TReplyReader();
    TReplyReader(const TReplyReader &) = delete;
    TReplyReader &operator=(const TReplyReader &) = delete;

    // Each complete line, without its CR LF. The line has left the held bytes
    // before the handler runs.
    std::function<void(const std::string &Line)> OnLine;
    std::function<void()> OnLineTooLong;
    // A line handler returned after the session was aborted.
    std::function<void()> OnAborted;
    // The request-done message posted by PostRequestDone, handled.
    std::function<void(int ErrorCode)> OnRequestDone;

    // The socket's data event: reads and hands over every complete line.
    // Called again from inside OnLine (a nested message loop) it only reads.
    void DataAvailable(const TReceive &Receive);

    // A new session: the held bytes are dropped.
    void Reset();
    // The session ends at once: the held bytes are dropped.
    void Abort();

    // Changes whenever a session starts or ends.
    using TSessionMark = std::uint32_t;
    TSessionMark Session() const { return FSession; }
    bool Ended(TSessionMark Mark) const { return Mark != FSession; }

    int Held() const { return static_cast<int>(FHeld); }
    int AreaSize() const { return FAreaSize; }

    // Posts the client's completion message (the first user message number
    // plus one) with the error code to the reader's window.
    void PostRequestDone(int ErrorCode);
    HWND Handle() const { return FWindow; }

    static constexpr UINT WM_REQUEST_DONE = WM_USER + 1;

  private:
    // Appends what the socket has; false when nothing came.
    bool ReceiveMore(const TReceive &Receive);
    void Consume(std::size_t Count);
    void HandOver(const std::string &Line);

    int FAreaSize;
    int FCutLength;
    std::vector<char> FArea;
    std::size_t FHeld = 0;
    bool FInReceive = false;   // handing over lines
    bool FReadPending = false; // data waits that did not fit the area
    TSessionMark FSession = 0;
    bool FAborted = false; // the last session change was an Abort
    HWND FWindow = 0;
};

} // namespace pv
