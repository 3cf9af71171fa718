// The X11 and D-Bus client libraries, bound at run time. The program must
// start headless on a server that has neither, so it never links them: the
// tray watch and the display check load them on first use and do without
// them when they are missing.
#pragma once

#include <dbus/dbus.h>
#include <xcb/res.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace pv {

// The entries used, by library. A macro list keeps the declarations, the
// look-ups and the names in one place.
#define PV_XCB_ENTRIES(E)                                                                          \
    E(xcb_connect)                                                                                 \
    E(xcb_connection_has_error)                                                                    \
    E(xcb_disconnect)                                                                              \
    E(xcb_get_file_descriptor)                                                                     \
    E(xcb_get_setup)                                                                               \
    E(xcb_setup_roots_iterator)                                                                    \
    E(xcb_screen_next)                                                                             \
    E(xcb_get_extension_data)                                                                      \
    E(xcb_intern_atom)                                                                             \
    E(xcb_intern_atom_reply)                                                                       \
    E(xcb_get_selection_owner)                                                                     \
    E(xcb_get_selection_owner_reply)                                                               \
    E(xcb_get_property)                                                                            \
    E(xcb_get_property_reply)                                                                      \
    E(xcb_get_property_value)                                                                      \
    E(xcb_get_property_value_length)                                                               \
    E(xcb_poll_for_event)

#define PV_XFIXES_ENTRIES(E)                                                                       \
    E(xcb_xfixes_query_version)                                                                    \
    E(xcb_xfixes_query_version_reply)                                                              \
    E(xcb_xfixes_select_selection_input)

#define PV_XRES_ENTRIES(E)                                                                         \
    E(xcb_res_query_version)                                                                       \
    E(xcb_res_query_version_reply)                                                                 \
    E(xcb_res_query_client_ids)                                                                    \
    E(xcb_res_query_client_ids_reply)                                                              \
    E(xcb_res_query_client_ids_ids_iterator)                                                       \
    E(xcb_res_client_id_value_next)                                                                \
    E(xcb_res_client_id_value_value)                                                               \
    E(xcb_res_client_id_value_value_length)

#define PV_DBUS_ENTRIES(E)                                                                         \
    E(dbus_error_init)                                                                             \
    E(dbus_error_free)                                                                             \
    E(dbus_error_is_set)                                                                           \
    E(dbus_connection_open_private)                                                                \
    E(dbus_connection_set_exit_on_disconnect)                                                      \
    E(dbus_connection_close)                                                                       \
    E(dbus_connection_unref)                                                                       \
    E(dbus_connection_get_unix_fd)                                                                 \
    E(dbus_connection_get_is_connected)                                                            \
    E(dbus_connection_read_write)                                                                  \
    E(dbus_connection_pop_message)                                                                 \
    E(dbus_connection_send_with_reply_and_block)                                                   \
    E(dbus_bus_register)                                                                           \
    E(dbus_bus_add_match)                                                                          \
    E(dbus_message_new_method_call)                                                                \
    E(dbus_message_append_args)                                                                    \
    E(dbus_message_get_args)                                                                       \
    E(dbus_message_is_signal)                                                                      \
    E(dbus_message_unref)

#define PV_DECLARE_ENTRY(name) decltype(&::name) name = nullptr;

// libxcb; the two extensions are optional (null when their library is missing).
struct TXcbLibrary {
    PV_XCB_ENTRIES(PV_DECLARE_ENTRY)
    struct Fixes {
        xcb_extension_t *id = nullptr; // xcb_xfixes_id
        PV_XFIXES_ENTRIES(PV_DECLARE_ENTRY)
    };
    struct Res {
        xcb_extension_t *id = nullptr; // xcb_res_id
        PV_XRES_ENTRIES(PV_DECLARE_ENTRY)
    };
    const Fixes *xfixes = nullptr;
    const Res *xres = nullptr;
};

struct TDbusLibrary {
    PV_DBUS_ENTRIES(PV_DECLARE_ENTRY)
};

#undef PV_DECLARE_ENTRY

// Loaded once per process (thread-safe); nullptr when the library or one of
// its entries is missing.
const TXcbLibrary *XcbLibrary();
const TDbusLibrary *DbusLibrary();

} // namespace pv
