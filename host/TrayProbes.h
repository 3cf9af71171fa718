// Where a notification area can come from on Linux: an XEmbed tray host owns
// the X11 selection _NET_SYSTEM_TRAY_S<screen>; a StatusNotifier host owns the
// D-Bus name org.kde.StatusNotifierWatcher. Each probe keeps one connection of
// its own (the wait thread's), reports the current owner and its process, and
// hears of changes through a file descriptor the thread polls.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

struct xcb_connection_t;
struct DBusConnection;

namespace pv {

class TX11TrayProbe {
  public:
    // display: as in $DISPLAY ("" for none: never connects).
    explicit TX11TrayProbe(std::string display) : display_(std::move(display)) {}
    ~TX11TrayProbe() { Disconnect(); }
    TX11TrayProbe(const TX11TrayProbe &) = delete;
    TX11TrayProbe &operator=(const TX11TrayProbe &) = delete;

    bool Configured() const { return !display_.empty(); }
    bool Connected() const { return conn_ != nullptr; }
    bool Connect();
    void Disconnect();
    // The connection's fd while connected, else -1.
    int Fd() const;
    // Owner changes are reported as events (XFixes); without the extension
    // the owner must be asked again now and then.
    bool Notifies() const { return xfixesEvent_ >= 0; }
    // Reads what arrived; false when the connection broke (then disconnected).
    bool Handle();
    // Asks the server again (the way without XFixes).
    void Refresh();
    // The selection owner window, 0 for none.
    std::uint32_t Owner() const { return owner_; }
    // The owner's process: from the X-Resource extension, else _NET_WM_PID; 0 unknown.
    pid_t OwnerPid();

  private:
    std::uint32_t Intern(const std::string &name);

    std::string display_;
    xcb_connection_t *conn_ = nullptr;
    std::uint32_t root_ = 0;
    std::uint32_t selection_ = 0;
    std::uint32_t pidAtom_ = 0;
    int xfixesEvent_ = -1;
    bool xres_ = false;
    std::uint32_t owner_ = 0;
};

class TBusTrayProbe {
  public:
    // address: the session bus address ("" for none: never connects).
    explicit TBusTrayProbe(std::string address) : address_(std::move(address)) {}
    ~TBusTrayProbe() { Disconnect(); }
    TBusTrayProbe(const TBusTrayProbe &) = delete;
    TBusTrayProbe &operator=(const TBusTrayProbe &) = delete;

    bool Configured() const { return !address_.empty(); }
    bool Connected() const { return conn_ != nullptr; }
    bool Connect();
    void Disconnect();
    int Fd() const;
    // Reads and handles what arrived (also what a blocking call queued);
    // false when the connection broke (then disconnected).
    bool Handle();
    // The unique name owning the watcher name, "" for none.
    const std::string &Owner() const { return owner_; }
    pid_t OwnerPid();

  private:
    std::string address_;
    DBusConnection *conn_ = nullptr;
    std::string owner_;
};

// A descriptor that becomes readable when the process ends; -1 if it cannot
// be had (no such process, or a kernel without pidfd_open).
int OpenProcessFd(pid_t pid);

} // namespace pv
