#include "host/TrayProbes.h"

#include <cstdlib>
#include <memory>

#include <sys/syscall.h>
#include <unistd.h>

#include "host/DesktopLibraries.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace pv {

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T> using XReply = std::unique_ptr<T, FreeDeleter>;

const char *const kWatcherName = "org.kde.StatusNotifierWatcher";
const char *const kBusName = "org.freedesktop.DBus";
const char *const kBusPath = "/org/freedesktop/DBus";

struct MessageUnref {
    void operator()(DBusMessage *m) const { DbusLibrary()->dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// A call to the bus itself with one string argument; nullptr on any error.
Message CallBus(DBusConnection *conn, const char *method, const std::string &arg) {
    const TDbusLibrary *dbus = DbusLibrary();
    Message call(dbus->dbus_message_new_method_call(kBusName, kBusPath, kBusName, method));
    if (!call)
        return nullptr;
    const char *a = arg.c_str();
    if (!dbus->dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &a, DBUS_TYPE_INVALID))
        return nullptr;
    DBusError err;
    dbus->dbus_error_init(&err);
    Message reply(dbus->dbus_connection_send_with_reply_and_block(conn, call.get(), 2000, &err));
    dbus->dbus_error_free(&err);
    return reply;
}

} // namespace

int OpenProcessFd(pid_t pid) {
    if (pid <= 0)
        return -1;
    long fd = syscall(SYS_pidfd_open, pid, 0);
    return fd < 0 ? -1 : static_cast<int>(fd);
}

// ---- X11 ----

std::uint32_t TX11TrayProbe::Intern(const std::string &name) {
    const TXcbLibrary *xcb = XcbLibrary();
    XReply<xcb_intern_atom_reply_t> r(xcb->xcb_intern_atom_reply(
        conn_,
        xcb->xcb_intern_atom(conn_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr));
    return r ? r->atom : 0;
}

bool TX11TrayProbe::Connect() {
    if (conn_)
        return true;
    if (display_.empty())
        return false;
    const TXcbLibrary *xcb = XcbLibrary();
    if (!xcb)
        return false;
    int screen = 0;
    conn_ = xcb->xcb_connect(display_.c_str(), &screen);
    if (xcb->xcb_connection_has_error(conn_)) {
        Disconnect();
        return false;
    }
    xcb_screen_iterator_t it = xcb->xcb_setup_roots_iterator(xcb->xcb_get_setup(conn_));
    for (int i = 0; i < screen && it.rem; ++i)
        xcb->xcb_screen_next(&it);
    if (!it.rem) {
        Disconnect();
        return false;
    }
    root_ = it.data->root;
    selection_ = Intern("_NET_SYSTEM_TRAY_S" + std::to_string(screen));
    pidAtom_ = Intern("_NET_WM_PID");

    xfixesEvent_ = -1;
    const xcb_query_extension_reply_t *fixes =
        xcb->xfixes ? xcb->xcb_get_extension_data(conn_, xcb->xfixes->id) : nullptr;
    if (fixes && fixes->present) {
        XReply<xcb_xfixes_query_version_reply_t> v(xcb->xfixes->xcb_xfixes_query_version_reply(
            conn_, xcb->xfixes->xcb_xfixes_query_version(conn_, 5, 0), nullptr));
        if (v) {
            xfixesEvent_ = fixes->first_event;
            // Before asking for the owner, so that no change falls in between.
            xcb->xfixes->xcb_xfixes_select_selection_input(
                conn_, root_, selection_,
                XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                    XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                    XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
        }
    }
    xres_ = false;
    const xcb_query_extension_reply_t *res =
        xcb->xres ? xcb->xcb_get_extension_data(conn_, xcb->xres->id) : nullptr;
    if (res && res->present) {
        XReply<xcb_res_query_version_reply_t> v(xcb->xres->xcb_res_query_version_reply(
            conn_, xcb->xres->xcb_res_query_version(conn_, 1, 2), nullptr));
        xres_ = v && (v->server_major > 1 || (v->server_major == 1 && v->server_minor >= 2));
    }
    Refresh();
    if (!conn_ || xcb->xcb_connection_has_error(conn_)) {
        Disconnect();
        return false;
    }
    return true;
}

void TX11TrayProbe::Disconnect() {
    if (conn_)
        XcbLibrary()->xcb_disconnect(conn_);
    conn_ = nullptr;
    owner_ = 0;
    xfixesEvent_ = -1;
}

int TX11TrayProbe::Fd() const {
    return conn_ ? XcbLibrary()->xcb_get_file_descriptor(conn_) : -1;
}

void TX11TrayProbe::Refresh() {
    if (!conn_)
        return;
    const TXcbLibrary *xcb = XcbLibrary();
    XReply<xcb_get_selection_owner_reply_t> r(xcb->xcb_get_selection_owner_reply(
        conn_, xcb->xcb_get_selection_owner(conn_, selection_), nullptr));
    owner_ = r ? r->owner : 0;
}

bool TX11TrayProbe::Handle() {
    if (!conn_)
        return false;
    const TXcbLibrary *xcb = XcbLibrary();
    while (xcb_generic_event_t *ev = xcb->xcb_poll_for_event(conn_)) {
        XReply<xcb_generic_event_t> hold(ev);
        if (xfixesEvent_ >= 0 &&
            (ev->response_type & 0x7F) == xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
            auto *n = reinterpret_cast<xcb_xfixes_selection_notify_event_t *>(ev);
            if (n->selection == selection_)
                owner_ = n->owner;
        }
    }
    if (xcb->xcb_connection_has_error(conn_)) {
        Disconnect();
        return false;
    }
    return true;
}

pid_t TX11TrayProbe::OwnerPid() {
    if (!conn_ || !owner_)
        return 0;
    const TXcbLibrary *xcb = XcbLibrary();
    if (xres_) {
        xcb_res_client_id_spec_t spec{owner_, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        XReply<xcb_res_query_client_ids_reply_t> r(xcb->xres->xcb_res_query_client_ids_reply(
            conn_, xcb->xres->xcb_res_query_client_ids(conn_, 1, &spec), nullptr));
        if (r) {
            for (auto it = xcb->xres->xcb_res_query_client_ids_ids_iterator(r.get()); it.rem;
                 xcb->xres->xcb_res_client_id_value_next(&it)) {
                if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
                    xcb->xres->xcb_res_client_id_value_value_length(it.data) >= 1)
                    return static_cast<pid_t>(xcb->xres->xcb_res_client_id_value_value(it.data)[0]);
            }
        }
    }
    XReply<xcb_get_property_reply_t> p(xcb->xcb_get_property_reply(
        conn_, xcb->xcb_get_property(conn_, 0, owner_, pidAtom_, XCB_ATOM_CARDINAL, 0, 1),
        nullptr));
    if (p && p->format == 32 && xcb->xcb_get_property_value_length(p.get()) >= 4)
        return static_cast<pid_t>(
            *static_cast<std::uint32_t *>(xcb->xcb_get_property_value(p.get())));
    return 0;
}

// ---- D-Bus ----

bool TBusTrayProbe::Connect() {
    if (conn_)
        return true;
    if (address_.empty())
        return false;
    const TDbusLibrary *dbus = DbusLibrary();
    if (!dbus)
        return false;
    DBusError err;
    dbus->dbus_error_init(&err);
    conn_ = dbus->dbus_connection_open_private(address_.c_str(), &err);
    if (!conn_) {
        dbus->dbus_error_free(&err);
        return false;
    }
    dbus->dbus_connection_set_exit_on_disconnect(conn_, FALSE);
    if (!dbus->dbus_bus_register(conn_, &err)) {
        dbus->dbus_error_free(&err);
        Disconnect();
        return false;
    }
    // Before asking for the owner, so that no change falls in between.
    const std::string rule = std::string("type='signal',sender='") + kBusName + "',interface='" +
                             kBusName + "',member='NameOwnerChanged',arg0='" + kWatcherName + "'";
    dbus->dbus_bus_add_match(conn_, rule.c_str(), &err);
    if (dbus->dbus_error_is_set(&err)) {
        dbus->dbus_error_free(&err);
        Disconnect();
        return false;
    }
    owner_.clear();
    if (Message reply = CallBus(conn_, "GetNameOwner", kWatcherName)) {
        const char *name = nullptr;
        if (dbus->dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &name,
                                        DBUS_TYPE_INVALID) &&
            name)
            owner_ = name;
    }
    return Handle();
}

void TBusTrayProbe::Disconnect() {
    if (conn_) {
        const TDbusLibrary *dbus = DbusLibrary();
        dbus->dbus_connection_close(conn_);
        dbus->dbus_connection_unref(conn_);
    }
    conn_ = nullptr;
    owner_.clear();
}

int TBusTrayProbe::Fd() const {
    int fd = -1;
    if (!conn_ || !DbusLibrary()->dbus_connection_get_unix_fd(conn_, &fd))
        return -1;
    return fd;
}

bool TBusTrayProbe::Handle() {
    if (!conn_)
        return false;
    const TDbusLibrary *dbus = DbusLibrary();
    dbus->dbus_connection_read_write(conn_, 0);
    while (DBusMessage *raw = dbus->dbus_connection_pop_message(conn_)) {
        Message m(raw);
        if (!dbus->dbus_message_is_signal(m.get(), kBusName, "NameOwnerChanged"))
            continue;
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (dbus->dbus_message_get_args(m.get(), nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                                        &oldOwner, DBUS_TYPE_STRING, &newOwner,
                                        DBUS_TYPE_INVALID) &&
            name && newOwner && std::string(name) == kWatcherName)
            owner_ = newOwner;
    }
    if (!dbus->dbus_connection_get_is_connected(conn_)) {
        Disconnect();
        return false;
    }
    return true;
}

pid_t TBusTrayProbe::OwnerPid() {
    if (!conn_ || owner_.empty())
        return 0;
    const TDbusLibrary *dbus = DbusLibrary();
    Message reply = CallBus(conn_, "GetConnectionUnixProcessID", owner_);
    dbus_uint32_t pid = 0;
    if (!reply || !dbus->dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT32, &pid,
                                               DBUS_TYPE_INVALID))
        return 0;
    // The blocking call may have queued a change of the owner meanwhile.
    Handle();
    return static_cast<pid_t>(pid);
}

} // namespace pv
