// A combo box; as a drop-down list its text is the selected item's.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/Control.h"

namespace pv {

enum TComboBoxStyle { csDropDown, csDropDownList };

class TComboBox : public TControl {
  public:
    using TControl::TControl;
    bool CanHaveFocus() const override { return true; }

    TComboBoxStyle Style() const { return style_; }
    void SetStyle(TComboBoxStyle style);

    const std::vector<std::string> &Items() const { return items_; }
    void SetItems(const std::vector<std::string> &items);
    void AddItem(const std::string &item);
    // Index of the item equal to text ignoring ASCII case, -1 if none.
    int IndexOf(const std::string &text) const;

    // -1 = none; values outside the items select none.
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);

    // Drop-down list: the selected item ("" with none); setting selects the
    // item equal ignoring case, or none. Drop-down: free text, and setting
    // selects an equal item if there is one.
    std::string Text() const override;
    void SetText(const std::string &text) override;
    bool UserSetText(const std::string &text) override;
    bool UserSelect(int index);

    TNotifyEvent OnChange; // the user changed the selection or text

  private:
    TComboBoxStyle style_ = csDropDown;
    std::vector<std::string> items_;
    int itemIndex_ = -1;
};

} // namespace pv
