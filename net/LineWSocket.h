// The line-mode layer of the socket chain: with LineMode on, incoming bytes
// are held until a LineEnd arrives and OnDataAvailable is raised once per
// line, with optional echo and backspace/tab editing for interactive peers
// and a limit on unterminated bytes. With it off, every call goes to the
// layers below (after any bytes still held from line mode).
#pragma once

#include <functional>
#include <string>

#include "net/SocksWSocket.h"

namespace pv {

using TLineLimitEvent = std::function<void(TObject *Sender, int RcvdLength, bool &ClearData)>;

class TCustomLineWSocket : public TCustomSocksWSocket {
  public:
    TCustomLineWSocket();
    ~TCustomLineWSocket() override;

    bool LineMode() const { return fLineMode; }
    virtual void SetLineMode(bool value);
    std::string LineEnd = "\r\n";
    // Most bytes held without a LineEnd before OnLineLimitExceeded; 0 or
    // less: no limit.
    int LineLimit = 65536;
    bool LineEcho = false;
    bool LineEdit = false;

    TLineLimitEvent OnLineLimitExceeded;

    // In line mode the unread bytes of the line being delivered.
    int RcvdCount() override;
    // Bytes held, lines not yet delivered included.
    int HeldCount() const { return static_cast<int>(Held()); }

  protected:
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoSessionClosed(std::uint16_t ErrCode) override;
    int RawReceive(void *Buffer, int Size, int Flags) override;
    virtual void DoLineLimitExceeded(int RcvdLength, bool &ClearData);
    // Applies backspaces and tabs to the held bytes from First on (echoing
    // with LineEcho); the first position it changed, or npos.
    virtual std::size_t EditLine(std::size_t First);

    bool fLineMode = false;

  private:
    bool LineActive() const { return fLineMode && !LineEnd.empty(); }
    std::size_t Held() const { return fRcvdBuf.size() - fRcvdStart; }
    const char *HeldData() const { return fRcvdBuf.data() + fRcvdStart; }
    // Takes n bytes from the front of the held ones into Buffer (if any).
    void TakeFront(void *Buffer, std::size_t n);
    void Compact();
    void ReleaseHeld();
    // Reads what the layer below has after the held bytes; false when
    // nothing came. SearchStart: where a new terminator may begin.
    bool ReadMore(std::size_t &SearchStart);
    // Delivers the held lines, the one being delivered first.
    void DeliverLines(std::size_t SearchStart);
    // Raises OnDataAvailable until the line is read; false when the socket
    // went away meanwhile or the handler stopped reading.
    bool DeliverLine(SOCKET Handle);
    // The held bytes raw, once line mode is off.
    void DeliverHeld();

    // The held bytes are fRcvdBuf from fRcvdStart on: a line read from the
    // front moves only the start, so many short lines cost no copying.
    std::string fRcvdBuf;
    std::size_t fRcvdStart = 0;
    int fLineLength = 0; // unread bytes of the line being delivered, 0 = none
    bool fLineClearData = false;
    bool fDelivering = false;
};

} // namespace pv
