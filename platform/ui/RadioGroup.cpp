#include "platform/ui/RadioGroup.h"

namespace pv {

void TRadioGroup::SetItems(const std::vector<std::string> &items) {
    items_ = items;
    if (itemIndex_ >= static_cast<int>(items_.size()))
        itemIndex_ = -1;
    Changed(TChange::Items);
}

void TRadioGroup::SetItemIndex(int index) {
    if (index < 0 || index >= static_cast<int>(items_.size()))
        index = -1;
    if (index == itemIndex_)
        return;
    itemIndex_ = index;
    Changed(TChange::ItemIndex);
    if (OnClick)
        OnClick(this);
}

bool TRadioGroup::UserSelect(int index) {
    if (!EffectivelyEnabled() || !Showing() || index < 0 ||
        index >= static_cast<int>(items_.size()) || !TakeFocusForUser())
        return false;
    SetItemIndex(index);
    return true;
}

} // namespace pv
