// The socket library binding: WinSock-shaped calls over BSD sockets and the
// system resolver, with WinSock's error numbers, handles that are never
// reused, window-message notification of network events and asynchronous
// host lookups. Also the helpers of the socket layer that need no socket.
#pragma once

#include "net/WinsockCalls.h"
#include "net/WinsockErrors.h"
#include "net/WinsockLookup.h"
#include "net/WinsockResolve.h"
#include "net/WinsockSelect.h"
#include "net/WinsockStartup.h"
#include "net/WinsockTypes.h"
