#include "host/FrontEnd.h"

#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "host/DesktopLibraries.h"

namespace pv {

namespace {

// Without the X11 client library no desktop front end could use it either.
bool X11Reachable(const char *display) {
    const TXcbLibrary *xcb = XcbLibrary();
    if (!xcb)
        return false;
    xcb_connection_t *c = xcb->xcb_connect(display, nullptr);
    const bool ok = !xcb->xcb_connection_has_error(c);
    xcb->xcb_disconnect(c);
    return ok;
}

bool WaylandReachable(const std::string &name) {
    std::string path = name;
    if (path.empty() || path[0] != '/') {
        const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || !*runtime)
            return false;
        path = std::string(runtime) + "/" + name;
    }
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

} // namespace

bool DisplayPresent() {
    const char *x = std::getenv("DISPLAY");
    if (x && *x && X11Reachable(x))
        return true;
    const char *w = std::getenv("WAYLAND_DISPLAY");
    return w && *w && WaylandReachable(w);
}

std::unique_ptr<TFrontEnd> LoadFrontEnd(const std::string &modulePath, int &argc, char **argv,
                                        std::string &error) {
    void *module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char *why = dlerror();
        error = why ? why : "cannot load " + modulePath;
        return nullptr;
    }
    auto factory = reinterpret_cast<TFrontEndFactory>(dlsym(module, kFrontEndFactory));
    if (!factory) {
        error = modulePath + " has no " + kFrontEndFactory;
        return nullptr;
    }
    std::unique_ptr<TFrontEnd> frontEnd(factory(&argc, argv));
    if (!frontEnd)
        error = "the desktop front end could not start";
    return frontEnd;
}

} // namespace pv
