#include "platform/ui/MenuItem.h"

namespace pv {

void TMenuItem::SetCaption(const std::string &caption) {
    if (caption == caption_)
        return;
    caption_ = caption;
    Changed();
}

void TMenuItem::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Changed();
}

void TMenuItem::SetVisible(bool visible) {
    if (visible == visible_)
        return;
    visible_ = visible;
    Changed();
}

void TMenuItem::Click() {
    if (OnClick)
        OnClick(this);
}

bool TMenuItem::UserClick() {
    if (!enabled_ || !visible_ || IsSeparator())
        return false;
    Click();
    return true;
}

void TMenuItem::Changed() {
    if (ViewNotify)
        ViewNotify(this);
}

TMenuItem *TPopupMenu::Find(const std::string &name) const {
    for (TMenuItem *item : items_)
        if (item->Name() == name)
            return item;
    return nullptr;
}

} // namespace pv
