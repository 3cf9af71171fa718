#include "platform/ui/View.h"

namespace pv {

namespace {
TViewObserver *gObserver = nullptr;
}

TViewObserver *SetViewObserver(TViewObserver *observer) {
    TViewObserver *old = gObserver;
    gObserver = observer;
    return old;
}

TViewObserver *ViewObserver() {
    return gObserver;
}

} // namespace pv
