#include "host/SurviverInstance.h"

#include <memory>
#include <unordered_map>

#include "platform/ui/Form.h"

namespace pv {

namespace {

// Used on the user-interface thread only, like the windows themselves.
struct Table {
    std::unordered_map<const TControl *, std::unique_ptr<TsvSurviverInstance>> instances;
    std::unordered_map<std::uint64_t, TsvSurviverInstance *> windows;
};

Table &TheTable() {
    static Table table;
    return table;
}

} // namespace

TsvSurviverInstance &TsvSurviverInstance::Of(TForm &form) {
    auto &slot = TheTable().instances[&form];
    if (!slot)
        slot.reset(new TsvSurviverInstance(form));
    return *slot;
}

void TsvSurviverInstance::Release(const TControl *form) {
    Table &t = TheTable();
    auto it = t.instances.find(form);
    if (it == t.instances.end())
        return;
    it->second->WindowCreated(0);
    t.instances.erase(it);
}

TForm *TsvSurviverInstance::FormOfWindow(std::uint64_t window) {
    const Table &t = TheTable();
    auto it = window ? t.windows.find(window) : t.windows.end();
    return it == t.windows.end() ? nullptr : &it->second->Form();
}

std::size_t TsvSurviverInstance::Count() {
    return TheTable().instances.size();
}

void TsvSurviverInstance::WindowCreated(std::uint64_t window) {
    Table &t = TheTable();
    if (window_)
        t.windows.erase(window_);
    window_ = window;
    if (window_)
        t.windows[window_] = this;
}

} // namespace pv
