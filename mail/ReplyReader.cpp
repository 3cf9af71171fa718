#include "mail/ReplyReader.h"

#include <algorithm>
#include <cstring>

namespace pv {

TReplyReader::TReplyReader(int AreaSize, int CutLength)
    : FAreaSize(AreaSize), FCutLength(CutLength),
      FArea(static_cast<std::size_t>(std::max(AreaSize, 1))) {
    FWindow = CreateWindow([this](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg != WM_REQUEST_DONE)
            return DefWindowProc(hwnd, msg, wParam, lParam);
        if (OnRequestDone)
            OnRequestDone(static_cast<int>(lParam));
        return 0;
    });
}

TReplyReader::~TReplyReader() {
    if (FWindow)
        DestroyWindow(FWindow);
}

void TReplyReader::PostRequestDone(int ErrorCode) {
    PostMessage(FWindow, WM_REQUEST_DONE, 0, static_cast<LPARAM>(ErrorCode));
}

void TReplyReader::Reset() {
    FHeld = 0;
    ++FSession;
    FAborted = false;
}

void TReplyReader::Abort() {
    FHeld = 0;
    ++FSession;
    FAborted = true;
}

void TReplyReader::HandOver(const std::string &Line) {
    if (!OnLine)
        return;
    const TSessionMark mark = FSession;
    const auto after = [&] {
        if (Ended(mark) && FAborted && OnAborted)
            OnAborted();
    };
    try {
        OnLine(Line);
    } catch (...) {
        after();
        throw;
    }
    after();
}

bool TReplyReader::ReceiveMore(const TReceive &Receive) {
    const int limit = FCutLength > 0 ? std::min(FCutLength, FAreaSize) : FAreaSize;
    const int room = limit - static_cast<int>(FHeld);
    if (room <= 0) {
        FReadPending = true; // read once lines have made room
        return false;
    }
    const int got = Receive(FArea.data() + FHeld, room);
    if (got <= 0)
        return false;
    FHeld += static_cast<std::size_t>(std::min(got, room));
    return true;
}

void TReplyReader::Consume(std::size_t Count) {
    FHeld -= Count;
    std::memmove(FArea.data(), FArea.data() + Count, FHeld);
}

void TReplyReader::DataAvailable(const TReceive &Receive) {
    if (FInReceive) {
        // A handler below waits in a nested message loop: the bytes are
        // collected here and the lines handed over in order by the outer call.
        ReceiveMore(Receive);
        return;
    }
    struct Guard {
        bool &flag;
        ~Guard() { flag = false; }
    } guard{FInReceive = true};
    FReadPending = false;
    if (!ReceiveMore(Receive))
        return;

    for (;;) {
        const char *begin = FArea.data();
        const char *end = begin + FHeld;
        const char *cr = begin;
        while ((cr = static_cast<const char *>(std::memchr(cr, '\r', end - cr))) != nullptr) {
            if (cr + 1 < end && cr[1] == '\n')
                break;
            ++cr;
        }
        std::size_t length = 0, used = 0;
        if (cr != nullptr) {
            length = static_cast<std::size_t>(cr - begin);
            used = length + 2;
        } else if (FCutLength > 0 && FHeld >= static_cast<std::size_t>(FCutLength)) {
            length = used = static_cast<std::size_t>(FCutLength);
        } else if (FCutLength <= 0 && FHeld >= static_cast<std::size_t>(FAreaSize)) {
            FHeld = 0;
            if (OnLineTooLong)
                OnLineTooLong();
            return;
        } else {
            if (FReadPending) {
                FReadPending = false;
                if (ReceiveMore(Receive))
                    continue;
            }
            return;
        }
        // The line leaves the area before any handler runs, so a handler that
        // starts over finds it consistent.
        std::string line(begin, length);
        Consume(used);
        HandOver(line);
    }
}

} // namespace pv
