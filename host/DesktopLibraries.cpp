#include "host/DesktopLibraries.h"

#include <dlfcn.h>

namespace pv {

namespace {

// Binds every entry of a list; false (the library closed again) when one is
// missing. A library once bound stays loaded for the rest of the process.
class Binder {
  public:
    explicit Binder(const char *soname) : module_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {}
    ~Binder() {
        if (module_ && !ok_)
            dlclose(module_);
    }
    Binder(const Binder &) = delete;
    Binder &operator=(const Binder &) = delete;

    template <class F> void Bind(F &entry, const char *name) {
        void *p = module_ ? dlsym(module_, name) : nullptr;
        missing_ = missing_ || !p;
        entry = reinterpret_cast<F>(p);
    }
    void *Data(const char *name) {
        void *p = module_ ? dlsym(module_, name) : nullptr;
        missing_ = missing_ || !p;
        return p;
    }
    // Keeps the library when every entry was found.
    bool Done() {
        ok_ = module_ && !missing_;
        return ok_;
    }

  private:
    void *module_;
    bool missing_ = false;
    bool ok_ = false;
};

#define PV_BIND_ENTRY(name) binder.Bind(lib.name, #name);

bool LoadFixes(TXcbLibrary::Fixes &lib) {
    Binder binder("libxcb-xfixes.so.0");
    lib.id = static_cast<xcb_extension_t *>(binder.Data("xcb_xfixes_id"));
    PV_XFIXES_ENTRIES(PV_BIND_ENTRY)
    return binder.Done();
}

bool LoadRes(TXcbLibrary::Res &lib) {
    Binder binder("libxcb-res.so.0");
    lib.id = static_cast<xcb_extension_t *>(binder.Data("xcb_res_id"));
    PV_XRES_ENTRIES(PV_BIND_ENTRY)
    return binder.Done();
}

bool LoadXcb(TXcbLibrary &lib) {
    Binder binder("libxcb.so.1");
    PV_XCB_ENTRIES(PV_BIND_ENTRY)
    return binder.Done();
}

bool LoadDbus(TDbusLibrary &lib) {
    Binder binder("libdbus-1.so.3");
    PV_DBUS_ENTRIES(PV_BIND_ENTRY)
    return binder.Done();
}

#undef PV_BIND_ENTRY

} // namespace

const TXcbLibrary *XcbLibrary() {
    static TXcbLibrary::Fixes fixes;
    static TXcbLibrary::Res res;
    static const TXcbLibrary *const loaded = []() -> const TXcbLibrary * {
        static TXcbLibrary lib;
        if (!LoadXcb(lib))
            return nullptr;
        lib.xfixes = LoadFixes(fixes) ? &fixes : nullptr;
        lib.xres = LoadRes(res) ? &res : nullptr;
        return &lib;
    }();
    return loaded;
}

const TDbusLibrary *DbusLibrary() {
    static const TDbusLibrary *const loaded = []() -> const TDbusLibrary * {
        static TDbusLibrary lib;
        return LoadDbus(lib) ? &lib : nullptr;
    }();
    return loaded;
}

} // namespace pv
