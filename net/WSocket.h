// TWSocket: the published socket, the end of the chain
// TCustomWSocket > TCustomSocksWSocket > TCustomLineWSocket > TCustomSyncWSocket.
#pragma once

#include "net/SyncWSocket.h"

namespace pv {

class TWSocket : public TCustomSyncWSocket {
  public:
    TWSocket() = default;
};

} // namespace pv
