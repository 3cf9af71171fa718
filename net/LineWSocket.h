// The line-mode layer of the socket chain. With line mode off it passes every
// call straight to the layers below.
#pragma once

#include <functional>
#include <string>

#include "net/SocksWSocket.h"

namespace pv {

using TLineLimitEvent = std::function<void(TObject *Sender, int RcvdLength, bool &ClearData)>;

class TCustomLineWSocket : public TCustomSocksWSocket {
  public:
    TCustomLineWSocket();

    bool LineMode() const { return fLineMode; }
    virtual void SetLineMode(bool value);
    std::string LineEnd = "\r\n";
    int LineLimit = 65536;
    bool LineEcho = false;
    bool LineEdit = false;

    TLineLimitEvent OnLineLimitExceeded;

    int RcvdCount() override;

  protected:
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoSessionClosed(std::uint16_t ErrCode) override;
    int RawReceive(void *Buffer, int Size, int Flags) override;
    virtual void DoLineLimitExceeded(int RcvdLength, bool &ClearData);

    bool fLineMode = false;
};

} // namespace pv
