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

void TMenuItem::SetDefault(bool value) {
    if (value == default_)
        return;
    default_ = value;
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

TPopupMenu::~TPopupMenu() {
    auto notify = std::move(freeNotify_);
    for (auto &entry : notify)
        if (entry.second)
            entry.second(this);
}

int TPopupMenu::FreeNotification(std::function<void(TPopupMenu *menu)> callback) {
    freeNotify_.emplace_back(++nextKey_, std::move(callback));
    return nextKey_;
}

void TPopupMenu::RemoveFreeNotification(int key) {
    std::erase_if(freeNotify_, [key](const auto &entry) { return entry.first == key; });
}

TMenuItem *TPopupMenu::Find(const std::string &name) const {
    for (TMenuItem *item : items_)
        if (item->Name() == name)
            return item;
    return nullptr;
}

} // namespace pv
