#include "platform/ui/ComboBox.h"

#include "platform/Text.h"

namespace pv {

void TComboBox::SetStyle(TComboBoxStyle style) {
    if (style == style_)
        return;
    style_ = style;
    Changed(TChange::Style);
}

void TComboBox::SetItems(const std::vector<std::string> &items) {
    items_ = items;
    if (itemIndex_ >= static_cast<int>(items_.size()))
        itemIndex_ = -1;
    Changed(TChange::Items);
}

void TComboBox::AddItem(const std::string &item) {
    items_.push_back(item);
    Changed(TChange::Items);
}

int TComboBox::IndexOf(const std::string &text) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i], text))
            return static_cast<int>(i);
    return -1;
}

void TComboBox::SetItemIndex(int index) {
    if (index < 0 || index >= static_cast<int>(items_.size()))
        index = -1;
    if (index == itemIndex_)
        return;
    itemIndex_ = index;
    if (style_ == csDropDown)
        text_ = index >= 0 ? items_[static_cast<std::size_t>(index)] : "";
    Changed(TChange::ItemIndex);
}

std::string TComboBox::Text() const {
    if (style_ == csDropDownList)
        return itemIndex_ >= 0 ? items_[static_cast<std::size_t>(itemIndex_)] : "";
    return text_;
}

void TComboBox::SetText(const std::string &text) {
    if (style_ == csDropDownList) {
        SetItemIndex(IndexOf(text));
        return;
    }
    int index = IndexOf(text);
    if (index >= 0)
        SetItemIndex(index);
    if (text_ != text) {
        text_ = text;
        Changed(TChange::Text);
    }
}

bool TComboBox::UserSetText(const std::string &text) {
    if (style_ == csDropDownList || !EffectivelyEnabled() || !Showing() || !TakeFocusForUser())
        return false;
    SetText(text);
    if (OnChange)
        OnChange(this);
    return true;
}

bool TComboBox::UserSelect(int index) {
    if (!EffectivelyEnabled() || !Showing() || index < 0 ||
        index >= static_cast<int>(items_.size()) || !TakeFocusForUser())
        return false;
    int before = itemIndex_;
    SetItemIndex(index);
    if (before != itemIndex_ && OnChange)
        OnChange(this);
    return true;
}

} // namespace pv
