// Start-up of the socket library and the count of what keeps it alive.
#pragma once

namespace pv {

// Called by every entry point of the binding before its first system call.
void EnsureWinsockStarted();

// The live count of socket objects and of calls that borrow the library.
void WinsockAddRef();
// Lowers the count; never unloads (the socket destructor calls UnloadWinsock).
void WinsockRelease();
int WinsockLiveCount();
// Cleans up when nothing is alive; the next call starts the library again.
void UnloadWinsock();
bool WinsockLoaded();

} // namespace pv
